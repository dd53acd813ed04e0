// The LAN server on loopback high ports (the kernel picks them), driven by
// a client made of the proto codecs: what each LAN quirk changes on the
// wire, and the VXI-11 rules of links, locks and aborts that the peers'
// suites (tests/lan/run-peers) do not reach.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <future>

#include "attach/localbus_server.h"
#include "attach/raw_connection.h"
#include "device/device_identity.h"
#include "network/lan_server.h"
#include "network/shared_instrument.h"
#include "proto/vxi11.h"
#include "quirk_option.h"
#include "scpi/io_test_instrument.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = INADDR_LOOPBACK;

int connect_to(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether `fd` has bytes to read within `ms`.
bool readable_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// Waits up to 3 s for `fd` to be readable.
bool readable(int fd) {
    return readable_within(fd, 3000);
}

// Reads one record from `fd` within 3 s a read; empty when the peer closed.
rpc::Bytes read_record(int fd) {
    rpc::RecordReader reader(1 << 21);
    std::uint8_t buffer[4096];
    while (readable(fd)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        std::size_t taken = 0;
        if (n <= 0)
            return {};
        if (reader.feed({buffer, static_cast<std::size_t>(n)}, taken) ==
            rpc::RecordReader::Status::record)
            return {reader.record().begin(), reader.record().end()};
    }
    return {};
}

// Reads a device_intr_srq call as it comes, whatever its fragment header
// says: "LENGTH for SIZE", the header's length and the call's own size.
std::string read_srq_call(int fd) {
    rpc::Bytes seen;
    std::uint8_t buffer[256];
    while (readable(fd)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        seen.insert(seen.end(), buffer, buffer + n);
        if (seen.size() < 4)
            continue;
        rpc::XdrReader r(rpc::ByteView(seen).subspan(4));
        rpc::CallHeader h;
        vxi::DeviceSrqParms srq;
        if (decode(r, h) && decode(r, srq) && r.done() && h.proc == vxi::DEVICE_INTR_SRQ) {
            const std::uint32_t header = (std::uint32_t{seen[0]} << 24) |
                                         (std::uint32_t{seen[1]} << 16) |
                                         (std::uint32_t{seen[2]} << 8) | seen[3];
            return std::to_string(header & ~rpc::kLastFragment) + " for " +
                   std::to_string(seen.size() - 4);
        }
    }
    return "nothing";
}

// A VXI-11 core client of one connection.
class CoreClient {
  public:
    explicit CoreClient(std::uint16_t port) : fd_(connect_to(port)) {}
    ~CoreClient() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    template <class Args, class Results>
    bool call(std::uint32_t proc, const Args& args, Results& results,
              std::uint32_t prog = vxi::kCoreProgram) {
        if (!send(proc, args, prog))
            return false;
        return receive(results);
    }
    template <class Args>
    bool send(std::uint32_t proc, const Args& args, std::uint32_t prog = vxi::kCoreProgram) {
        rpc::Bytes out;
        rpc::call_record(out, rpc::make_call(++xid_, prog, vxi::kVersion, proc), args);
        return ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(out.size());
    }
    template <class Results>
    bool receive(Results& results) {
        reply_ = read_record(fd_);
        rpc::XdrReader r(reply_);
        rpc::ReplyHeader h;
        return !reply_.empty() && decode(r, h) && h.accept == rpc::AcceptStat::success &&
               decode(r, results) && r.done();
    }

    vxi::CreateLinkResp link(bool lock = false) {
        vxi::CreateLinkResp resp;
        resp.error = -1;
        call(vxi::CREATE_LINK, vxi::CreateLinkParms{7, lock, 0, "inst0"}, resp);
        return resp;
    }
    std::int32_t write(std::int32_t lid, const std::string& data,
                       std::int32_t flags = vxi::kFlagEnd) {
        vxi::DeviceWriteResp resp{-1, 0};
        const vxi::DeviceWriteParms p{
            lid, 1000, 0, flags,
            vxi::ByteView(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())};
        call(vxi::DEVICE_WRITE, p, resp);
        return resp.error;
    }
    // "error reason data" of one device_read.
    std::string read(std::int32_t lid, std::uint32_t request_size,
                     std::uint32_t io_timeout = 1000) {
        vxi::DeviceReadResp resp{-1, 0, {}};
        if (!call(vxi::DEVICE_READ, vxi::DeviceReadParms{lid, request_size, io_timeout, 0, 0, 0},
                  resp))
            return "no reply";
        return std::to_string(resp.error) + " " + std::to_string(resp.reason) + " " +
               std::string(resp.data.begin(), resp.data.end());
    }
    std::int32_t lock(std::int32_t lid, std::int32_t flags, std::uint32_t timeout) {
        vxi::DeviceErrorResp resp{-1};
        call(vxi::DEVICE_LOCK, vxi::DeviceLockParms{lid, flags, timeout}, resp);
        return resp.error;
    }

  private:
    int fd_;
    std::uint32_t xid_ = 0;
    rpc::Bytes reply_;
};

// An io-test instrument served on loopback, all ports the kernel's.
struct Served {
    explicit Served(const std::string& quirks) {
        std::string error;
        if (!quirks.empty()) {
            EXPECT_TRUE(sgsim::parse_quirks(quirks, faults.quirks, error)) << error;
        }
        shared = std::make_unique<sgsim::SharedInstrument>(instrument, faults);
        server =
            std::make_unique<sgsim::LanServer>(*shared, sgsim::LanOptions{"127.0.0.1", 0, 0, 0, 0});
        EXPECT_TRUE(server->start(error)) << error;
    }
    sgsim::IoTestInstrument instrument{sgsim::IoTestConfig{"LAN001", std::nullopt, false}};
    sgsim::DeviceFaults faults;
    std::unique_ptr<sgsim::SharedInstrument> shared;
    std::unique_ptr<sgsim::LanServer> server;
};

// What a probe shows of the server: one line, compared with and without the quirk.
using Probe = std::function<std::string(Served&)>;

std::string idn_read(Served& s, std::uint32_t request_size) {
    CoreClient c(s.server->vxi11_port());
    const auto l = c.link();
    c.write(l.lid, "*IDN?\n");
    const std::string r = c.read(l.lid, request_size);
    // The data's length stands for the data: the identification is long.
    const std::size_t space = r.find(' ', r.find(' ') + 1);
    return r.substr(0, space) + " " + std::to_string(r.size() - space - 1);
}

TEST(LanServer, EachQuirkChangesTheWireAsItsRowSays) {
    const std::size_t idn_size = [] {
        Served s("");
        CoreClient c(s.server->vxi11_port());
        const auto l = c.link();
        c.write(l.lid, "*IDN?\n");
        return c.read(l.lid, 1000).size() - 4;  // "0 4 " before the data
    }();
    ASSERT_GT(idn_size, 8u);
    const std::string whole = "0 4 " + std::to_string(idn_size);
    struct Row {
        const char* quirk;
        Probe probe;
        std::string plain;   // without the quirk
        std::string quirky;  // with it
    };
    const std::vector<Row> rows = {
        {"max-recv:1024",
         [](Served& s) {
             CoreClient c(s.server->vxi11_port());
             const auto l = c.link();
             return std::to_string(l.max_recv_size) + " " +
                    std::to_string(c.write(l.lid, std::string(1025, 'x'), 0)) + " " +
                    std::to_string(c.write(l.lid, std::string(1024, 'x'), 0));
         },
         "1048576 0 0", "1024 5 0"},
        {"ignore-request-size", [](Served& s) { return idn_read(s, 4); }, "0 1 4", whole},
        {"read-cap:3", [](Served& s) { return idn_read(s, 100); }, idn_size <= 100 ? whole : "?",
         "0 0 3"},
        {"no-waitlock",
         [](Served& s) {
             CoreClient c(s.server->vxi11_port());
             const auto l = c.link();
             return std::to_string(c.lock(l.lid, vxi::kFlagWaitLock, 100)) + " " +
                    std::to_string(c.write(l.lid, "*CLS\n", vxi::kFlagEnd | vxi::kFlagWaitLock));
         },
         "0 0", "8 8"},
        {"one-connection",
         [](Served& s) {
             CoreClient first(s.server->vxi11_port());
             const auto l = first.link();
             CoreClient second(s.server->vxi11_port());
             const auto l2 = second.link();
             CoreClient socket(s.server->socket_port());
             ::send(socket.fd(), "*IDN?\n", 6, MSG_NOSIGNAL);
             char b[256];
             const bool answered = readable(socket.fd()) && ::recv(socket.fd(), b, sizeof b, 0) > 0;
             return std::to_string(l.error) + " " + std::to_string(l2.error) + " " +
                    (answered ? "answered" : "closed");
         },
         "0 0 answered", "0 -1 closed"},
        {"late:300",
         [](Served& s) {
             CoreClient c(s.server->vxi11_port());
             const auto l = c.link();
             c.write(l.lid, "*IDN?\n");
             const auto start = Clock::now();
             c.read(l.lid, 1000);
             return std::string(Clock::now() - start >= 300ms ? "late" : "at once");
         },
         "at once", "late"},
        {"srq-long-fragment",
         [](Served& s) {
             // The controller's interrupt server: a listening socket here.
             const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_in a{};
             a.sin_family = AF_INET;
             a.sin_addr.s_addr = htonl(kLoopback);
             socklen_t len = sizeof a;
             ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
             ::listen(listener, 1);
             ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
             CoreClient c(s.server->vxi11_port());
             const auto l = c.link();
             vxi::DeviceErrorResp e{-1}, e2{-1};
             c.call(vxi::CREATE_INTR_CHAN, vxi::DeviceRemoteFunc{kLoopback, ntohs(a.sin_port)}, e);
             const std::uint8_t handle[] = {'h', '1'};
             c.call(vxi::DEVICE_ENABLE_SRQ, vxi::DeviceEnableSrqParms{l.lid, true, handle}, e2);
             const int intr = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
             // A response the instrument makes ready later, asking for
             // service while it waits: the clock's path to the channel.
             c.write(l.lid, "RCVSLOWSRQ\n");
             c.write(l.lid, "1\n");
             c.write(l.lid, "SENDSLOWSRQ\n");
             const std::string got = read_srq_call(intr);
             ::close(intr);
             ::close(listener);
             return std::to_string(e.error) + " " + std::to_string(e2.error) + " " + got;
         },
         "0 0 48 for 48", "0 0 52 for 48"},
    };
    for (const Row& row : rows) {
        Served plain("");
        EXPECT_EQ(row.probe(plain), row.plain) << row.quirk << " off";
        Served quirky(row.quirk);
        EXPECT_EQ(row.probe(quirky), row.quirky) << row.quirk << " on";
    }
}

// One device lock for every link, across connections and protocols; an
// abort ends the call in progress; a connection's end frees its lock.
TEST(LanServer, LinksShareOneLockAndAbortEndsTheCallInProgress) {
    Served s("");
    auto holder = std::make_unique<CoreClient>(s.server->vxi11_port());
    CoreClient other(s.server->vxi11_port());
    const auto a = holder->link();
    const auto b = other.link();
    ASSERT_EQ(holder->lock(a.lid, 0, 0), vxi::ERR_NONE);

    struct Check {
        const char* what;
        std::function<std::int32_t()> call;
        std::int32_t error;
        std::chrono::milliseconds at_least;
    };
    const std::vector<Check> while_locked = {
        {"write without waitlock", [&] { return other.write(b.lid, "*CLS\n"); },
         vxi::ERR_LOCKED_BY_ANOTHER_LINK, 0ms},
        {"lock with waitlock, 200 ms", [&] { return other.lock(b.lid, vxi::kFlagWaitLock, 200); },
         vxi::ERR_LOCKED_BY_ANOTHER_LINK, 200ms},
        {"unlock by a link without it",
         [&] {
             vxi::DeviceErrorResp e{-1};
             other.call(vxi::DEVICE_UNLOCK, vxi::DeviceLink{b.lid}, e);
             return e.error;
         },
         vxi::ERR_NO_LOCK_HELD, 0ms},
        {"read on an unknown link", [&] { return std::stoi(other.read(999, 10)); },
         vxi::ERR_INVALID_LINK, 0ms},
    };
    for (const Check& c : while_locked) {
        const auto start = Clock::now();
        EXPECT_EQ(c.call(), c.error) << c.what;
        EXPECT_GE(Clock::now() - start, c.at_least) << c.what;
    }

    // SOCKET waits for the lock: no answer while it is held.
    CoreClient socket(s.server->socket_port());
    ASSERT_EQ(::send(socket.fd(), "*IDN?\n", 6, MSG_NOSIGNAL), 6);
    pollfd p{socket.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0) << "answered while another link held the lock";

    // The holder's connection ends: its lock goes with it.
    holder.reset();
    EXPECT_TRUE(readable(socket.fd())) << "SOCKET still waits after the lock went";
    EXPECT_EQ(other.lock(b.lid, vxi::kFlagWaitLock, 2000), vxi::ERR_NONE);

    // device_abort on the abort channel ends a read waiting for a response.
    CoreClient abort(b.abort_port);
    ASSERT_TRUE(other.send(vxi::DEVICE_READ, vxi::DeviceReadParms{b.lid, 100, 10000, 0, 0, 0}));
    vxi::DeviceErrorResp aborted{-1};
    const auto start = Clock::now();
    // An abort that comes before the read started ends nothing (queued calls
    // are not aborted): it is sent again each time the read's reply has not
    // come within 50 ms.
    vxi::DeviceReadResp read{-1, 0, {}};
    do {
        ASSERT_TRUE(
            abort.call(vxi::DEVICE_ABORT, vxi::DeviceLink{b.lid}, aborted, vxi::kAbortProgram));
    } while (!readable_within(other.fd(), 50) && Clock::now() - start < 5s);
    ASSERT_TRUE(other.receive(read));
    EXPECT_EQ(read.error, vxi::ERR_ABORT);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(aborted.error, vxi::ERR_NONE);
}

// The lock of a VXI-11 link holds the local bus's hosts too, where the same
// instrument is served on both: their frames wait until it goes.
TEST(LanServer, TheDeviceLockHoldsTheLocalBusToo) {
    sgtest::TempDir tmp;
    ::setenv("XDG_RUNTIME_DIR", tmp.make_subdir("run").c_str(), 1);
    Served s("");
    sgsim::UsbtmcDevice device(s.instrument, {}, nullptr);
    sgsim::DeviceIdentity identity;
    identity.serial = "LAN001";
    sgsim::LocalbusServer bus(device, identity);
    std::string error;
    ASSERT_EQ(bus.start(error), sgsim::LocalbusServer::StartResult::kListening) << error;
    bus.share_device(&s.shared->mutex());
    bus.hold_frames_while([&] { return s.shared->locked_while_held(); },
                          s.shared->device_event_fd());
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    std::thread loop([&] { bus.run(stop[0], error); });

    simtest::RawConnection usb(bus.socket_path());
    usb.send(sgproto::localbus::CLAIM, 1, sgproto::localbus::kClaimWait);
    usb.expect(sgproto::localbus::CLAIM, 1, sgproto::localbus::STATUS_OK);
    CoreClient lan(s.server->vxi11_port());
    const auto l = lan.link();
    ASSERT_EQ(lan.lock(l.lid, 0, 0), vxi::ERR_NONE);
    auto written = std::async(std::launch::async, [&] { usb.write(2, "*CLS\n"); });
    EXPECT_EQ(written.wait_for(300ms), std::future_status::timeout)
        << "the local bus wrote while a VXI-11 link held the lock";
    vxi::DeviceErrorResp unlocked{-1};
    lan.call(vxi::DEVICE_UNLOCK, vxi::DeviceLink{l.lid}, unlocked);
    EXPECT_EQ(unlocked.error, vxi::ERR_NONE);
    EXPECT_EQ(written.wait_for(3s), std::future_status::ready) << "still held after unlock";
    written.get();

    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    loop.join();
    ::close(stop[0]);
    ::close(stop[1]);
}

}  // namespace
