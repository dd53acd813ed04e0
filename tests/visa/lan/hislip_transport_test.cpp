// The HiSLIP transport against the simulator's HiSLIP server, in this
// process on loopback ports the kernel picks, and against a scripted server
// for what the simulator never sends: one table per fault family (stale
// replies and other wire faults, the two modes, device clear, another
// client's lock, service requests during status queries, what the server
// refuses, IPv6).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <thread>

#include "lan/hislip_transport.h"
#include "lan/lan_transports.h"
#include "network/lan_server.h"
#include "network/shared_instrument.h"
#include "quirk_option.h"
#include "scpi/io_test_instrument.h"
#include "trace/trace_file.h"
#include "trace/trace_reason.h"
#include "visa.h"

namespace sgtest {
namespace {

using namespace std::chrono_literals;
using sgvisa::Clock;
using sgvisa::deadline_after_ms;
using sgvisa::Transport;
using sgvisa::lan::HislipTransport;

struct Served {
    explicit Served(const std::string& quirks) {
        std::string error;
        EXPECT_TRUE(quirks.empty() || sgsim::parse_quirks(quirks, faults.quirks, error)) << error;
        shared = std::make_unique<sgsim::SharedInstrument>(instrument, faults);
        server =
            std::make_unique<sgsim::LanServer>(*shared, sgsim::LanOptions{"127.0.0.1", 0, 0, 0, 0});
        EXPECT_TRUE(server->start(error)) << error;
    }
    ViStatus open(std::unique_ptr<Transport>& t, const std::string& host = "127.0.0.1",
                  const std::string& device = "hislip0") {
        return sgvisa::lan::open_hislip_transport(
            host, device + "," + std::to_string(server->hislip_port()), deadline_after_ms(2000), t);
    }
    std::unique_ptr<Transport> open_ok() {
        std::unique_ptr<Transport> t;
        EXPECT_EQ(open(t), VI_SUCCESS);
        return t;
    }
    sgsim::IoTestInstrument instrument{sgsim::IoTestConfig{"HS001", std::nullopt, false}};
    sgsim::DeviceFaults faults;
    std::unique_ptr<sgsim::SharedInstrument> shared;
    std::unique_ptr<sgsim::LanServer> server;
};

ViStatus write_text(Transport& t, const std::string& s) {
    return t.write({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}, true,
                   deadline_after_ms(2000));
}

// The reply to what was written, up to END, or the failure.
std::string read_reply(Transport& t, std::uint32_t ms = 2000, ViStatus* status = nullptr) {
    std::string out;
    std::vector<std::uint8_t> buf(64 * 1024);
    const sgvisa::Deadline deadline = deadline_after_ms(ms);
    for (;;) {
        sgvisa::ReadResult r;
        const ViStatus st = t.read(buf, {}, deadline, r);
        out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.count));
        if (status != nullptr)
            *status = st;
        if (st != VI_SUCCESS)
            return st == VI_ERROR_TMO ? "TMO" : "status " + std::to_string(st);
        if (r.end)
            return out;
    }
}

std::string query(Transport& t, const std::string& q, std::uint32_t ms = 2000) {
    const ViStatus st = write_text(t, q);
    return st == VI_SUCCESS ? read_reply(t, ms) : "write status " + std::to_string(st);
}

ViAttrState attribute(Transport& t, ViAttr a) {
    ViAttrState v = 0xDEAD;
    EXPECT_EQ(t.get_interface_attribute(a, v), VI_SUCCESS);
    return v;
}

// A server of a few lines for what the simulator never sends: it opens a
// session (synchronized, or overlapped as it prefers), then answers each
// DataEnd on the synchronous channel with what `script` makes of its
// MessageID. Its reads give up after 2 s. `request_at_open`: a service
// request on the asynchronous channel right after its initialization.
class ScriptedServer {
  public:
    ScriptedServer(std::function<sgvisa::lan::hs::Bytes(std::uint32_t)> script, bool overlapped,
                   bool request_at_open = false)
        : script_(std::move(script)),
          overlapped_(overlapped),
          request_at_open_(request_at_open),
          listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listener_, 2), 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

  private:
    static int accept_one(int listener) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const timeval bound{2, 0};
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        return fd;
    }
    static bool take(int fd, sgproto::hislip::Header& h) {
        std::uint8_t header[sgproto::hislip::kHeaderSize];
        if (::recv(fd, header, sizeof header, MSG_WAITALL) != sizeof header ||
            !sgproto::hislip::decode_header(header, h) || h.length > 4096)
            return false;
        std::vector<std::uint8_t> payload(h.length);
        return h.length == 0 || ::recv(fd, payload.data(), payload.size(), MSG_WAITALL) ==
                                    static_cast<ssize_t>(h.length);
    }
    static void put(int fd, const sgproto::hislip::Bytes& b) {
        (void)!::send(fd, b.data(), b.size(), MSG_NOSIGNAL);
    }
    void run() {
        namespace hs = sgproto::hislip;
        hs::Header h;
        const int sync = accept_one(listener_);
        if (sync < 0)
            return;
        if (take(sync, h)) {
            put(sync,
                hs::message(hs::MessageType::initialize_response, overlapped_ ? 1 : 0, 0x01000001));
            const int async = accept_one(listener_);
            if (async >= 0 && take(async, h)) {
                put(async, hs::message(hs::MessageType::async_initialize_response, 0, 0));
                if (request_at_open_)
                    put(async, hs::message(hs::MessageType::async_service_request, 0x40, 0));
                const auto size = hs::encode_u64(1 << 20);
                if (take(async, h))
                    put(async, hs::message(hs::MessageType::async_maximum_message_size_response, 0,
                                           0, size));
                while (take(sync, h))
                    if (h.message_type() == hs::MessageType::data_end)
                        put(sync, script_(h.parameter));
            }
            if (async >= 0)
                ::close(async);
        }
        ::close(sync);
    }

    std::function<sgvisa::lan::hs::Bytes(std::uint32_t)> script_;
    bool overlapped_;
    bool request_at_open_;
    int listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// What a server may put before the reply to our query: a stale reply
// (dropped by its MessageID in synchronized mode; in overlapped mode
// nothing tells it apart and it is the next read's: viClear is the cure
// there), Data of no MessageID, Interrupted, a type of
// no meaning (answered with Error, skipped), an Error (a status with its
// words), a length no buffer is made for, a lost prologue.
TEST(HislipTransport, WhatComesBeforeTheReplyIsDroppedTakenOrAStatus) {
    namespace hs = sgproto::hislip;
    using T = hs::MessageType;
    // `before` (of the query's MessageID), then the reply.
    const auto then_reply = [](std::function<hs::Bytes(std::uint32_t)> before) {
        return [before](std::uint32_t id) {
            hs::Bytes out = before(id);
            const hs::Bytes reply = hs::message(T::data_end, 0, id, "fresh\n");
            out.insert(out.end(), reply.begin(), reply.end());
            return out;
        };
    };
    const struct {
        const char* name;
        std::function<hs::Bytes(std::uint32_t)> script;
        const char* reply;
        std::uint64_t stale;
        bool overlapped = false;
        bool request_at_open = false;
    } rows[] = {
        {"stale reply first",
         then_reply([](std::uint32_t id) { return hs::message(T::data_end, 0, id - 2, "old\n"); }),
         "fresh\n", 1},
        {"overlapped: a late reply first",
         then_reply([](std::uint32_t id) { return hs::message(T::data_end, 0, id - 2, "old\n"); }),
         "old\n", 0, true},
        {"Data of no MessageID", then_reply([](std::uint32_t) {
             return hs::message(T::data, 0, hs::kMessageIdUnknown, "a");
         }),
         "afresh\n", 0},
        {"Interrupted",
         then_reply([](std::uint32_t id) { return hs::message(T::interrupted, 0, id); }), "fresh\n",
         0},
        {"unknown type",
         then_reply([](std::uint32_t) { return hs::message(static_cast<T>(60), 0, 0, "?"); }),
         "fresh\n", 0},
        {"Error", [&](std::uint32_t) { return hs::message(T::error, 0, 0, "no"); },
         "status -1073807298", 0},
        {"2^40-byte DataEnd",
         [&](std::uint32_t id) {
             const auto h = hs::encode_header({7, 0, id, std::uint64_t{1} << 40});
             return hs::Bytes(h.begin(), h.end());
         },
         "status -1073807298", 0},
        {"no prologue", [&](std::uint32_t) { return hs::Bytes(16, 'X'); }, "status -1073807298", 0},
        {"a service request while the session opens",
         then_reply([](std::uint32_t) { return hs::Bytes(); }), "fresh\n", 0, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(row.script, row.overlapped, row.request_at_open);
        std::unique_ptr<Transport> t;
        ASSERT_EQ(sgvisa::lan::open_hislip_transport("127.0.0.1",
                                                     "hislip0," + std::to_string(server.port()),
                                                     deadline_after_ms(2000), t),
                  VI_SUCCESS);
        EXPECT_EQ(query(*t, "Q?\n", 1000), row.reply);
        EXPECT_EQ(static_cast<HislipTransport&>(*t).stale_replies(), row.stale);
    }
}

// The mode: the server's preference at the open, renegotiated by a device
// clear when the attribute changes; eight queries in flight come back in
// order in overlapped mode.
TEST(HislipTransport, TheModeIsNegotiatedAndOverlappedQueriesPipeline) {
    const struct {
        const char* quirks;
        int set;  // -1: left alone
        ViStatus set_status;
        ViAttrState overlapped;
    } rows[] = {
        {"", -1, VI_SUCCESS, VI_FALSE},
        {"hislip-prefer-overlap", -1, VI_SUCCESS, VI_TRUE},
        {"", VI_TRUE, VI_SUCCESS, VI_TRUE},
        {"hislip-prefer-overlap", VI_FALSE, VI_SUCCESS, VI_FALSE},
        {"hislip-sync-only", VI_TRUE, VI_ERROR_NSUP_ATTR_STATE, VI_FALSE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.quirks) + " set " + std::to_string(row.set));
        Served s(row.quirks);
        auto t = s.open_ok();
        ASSERT_TRUE(t);
        if (row.set >= 0) {
            EXPECT_EQ(t->set_interface_attribute(VI_ATTR_TCPIP_HISLIP_OVERLAP_EN,
                                                 static_cast<ViAttrState>(row.set)),
                      row.set_status);
        }
        EXPECT_EQ(attribute(*t, VI_ATTR_TCPIP_HISLIP_OVERLAP_EN), row.overlapped);
        const int in_flight = row.overlapped == VI_TRUE ? 8 : 1;
        for (int i = 0; i < in_flight; ++i)
            ASSERT_EQ(write_text(*t, i % 2 == 0 ? "LIST:INT?\n" : "*OPC?\n"), VI_SUCCESS);
        for (int i = 0; i < in_flight; ++i)
            EXPECT_EQ(read_reply(*t), i % 2 == 0 ? "1,-2,258,-4\n" : "1\n") << i;
    }
}

// A device clear, from viClear or from a cancelled read, while a reply is
// on its way: bounded, and the next query gets its own answer.
TEST(HislipTransport, DeviceClearMidReadIsBoundedAndLeavesTheNextQueryItsAnswer) {
    const struct {
        const char* quirks;
        bool cancel;  // else viClear
        ViStatus status;
    } rows[] = {
        {"late:150", false, VI_SUCCESS},
        {"late:150,hislip-late-clear-ack:100", false, VI_SUCCESS},
        {"late:150,hislip-late-clear-ack:3000", false, VI_ERROR_TMO},
        {"late:150", true, VI_ERROR_ABORT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.quirks) + (row.cancel ? " cancel" : " clear"));
        Served s(row.quirks);
        auto t = s.open_ok();
        ASSERT_TRUE(t);
        ASSERT_EQ(write_text(*t, "*IDN?\n"), VI_SUCCESS);
        const auto start = Clock::now();
        ViStatus st = VI_SUCCESS;
        if (row.cancel) {
            std::thread canceller([&] {
                std::this_thread::yield();
                t->cancel();
            });
            read_reply(*t, 2000, &st);
            canceller.join();
            t->resume();
        } else {
            st = t->clear(deadline_after_ms(250));
        }
        EXPECT_EQ(st, row.status);
        EXPECT_LT(Clock::now() - start, 1500ms);
        if (row.status != VI_ERROR_TMO) {
            EXPECT_EQ(query(*t, "*OPC?\n"), "1\n");
        }
    }
}

// Another client's lock: our queued query ends at the VISA timeout with
// VI_ERROR_RSRC_LOCKED, a shared lock admits the clients of its key, and
// the lock state is the device's.
TEST(HislipTransport, AnotherClientsLockEndsTheQueryWithRsrcLockedAfterTheTimeout) {
    const struct {
        const char* holder_key;  // "" exclusive
        const char* our_key;     // null: no lock of ours
        ViStatus our_lock;
        const char* reply;
    } rows[] = {
        {"", nullptr, VI_SUCCESS, "status -1073807345"},
        {"k", nullptr, VI_SUCCESS, "status -1073807345"},
        {"k", "k", VI_SUCCESS, "1\n"},
        {"k", "other", VI_ERROR_RSRC_LOCKED, "status -1073807345"},
        {"", "", VI_ERROR_RSRC_LOCKED, "status -1073807345"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.holder_key) + "/" + (row.our_key ? row.our_key : "none"));
        Served s("");
        auto holder = s.open_ok();
        auto ours = s.open_ok();
        ASSERT_TRUE(holder && ours);
        ASSERT_EQ(holder->lock_device(deadline_after_ms(500), row.holder_key), VI_SUCCESS);
        if (row.our_key != nullptr) {
            EXPECT_EQ(ours->lock_device(deadline_after_ms(100), row.our_key), row.our_lock);
        }
        ViAccessMode state = VI_NO_LOCK;
        EXPECT_EQ(ours->device_lock_state(deadline_after_ms(500), state), VI_SUCCESS);
        EXPECT_EQ(state, row.holder_key[0] == '\0' ? VI_EXCLUSIVE_LOCK : VI_SHARED_LOCK);
        const auto start = Clock::now();
        ASSERT_EQ(write_text(*ours, "*OPC?\n"), VI_SUCCESS);
        EXPECT_EQ(read_reply(*ours, 100), row.reply);
        if (row.reply[0] == 's') {
            EXPECT_GE(Clock::now() - start, 100ms);
        }
        EXPECT_EQ(holder->unlock_device(deadline_after_ms(500)), VI_SUCCESS);
    }
}

// A service request that comes while status queries are under way reaches
// the listener, and every query gets its own answer.
TEST(HislipTransport, AServiceRequestDuringStatusQueriesIsNeitherLostNorTheirAnswer) {
    Served s("");
    auto t = s.open_ok();
    ASSERT_TRUE(t);
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::uint8_t> requests;
    ASSERT_EQ(t->listen_for_service_requests([&](std::uint8_t stb) {
        std::lock_guard lock(m);
        requests.push_back(stb);
        cv.notify_all();
    }),
              VI_SUCCESS);
    // Status queries back to back, from before the request until it came.
    int queries = 0;
    bool stop = false;
    std::thread poller([&] {
        std::unique_lock lock(m);
        while (!stop) {
            lock.unlock();
            std::uint8_t stb = 0;
            const ViStatus st = t->read_status_byte(deadline_after_ms(500), stb);
            lock.lock();
            EXPECT_EQ(st, VI_SUCCESS);
            ++queries;
            cv.notify_all();
        }
    });
    std::unique_lock lock(m);
    cv.wait_for(lock, 2s, [&] { return queries > 0; });
    lock.unlock();
    // Operation complete sets ESR bit 0, whose summary (ESB) asks for service.
    EXPECT_EQ(write_text(*t, "*ESE 1;*SRE 32;*OPC\n"), VI_SUCCESS);
    lock.lock();
    cv.wait_for(lock, 2s, [&] { return !requests.empty(); });
    stop = true;
    lock.unlock();
    poller.join();
    ASSERT_EQ(requests.size(), 1u) << queries << " status queries";
    EXPECT_NE(requests[0] & 0x40, 0) << int(requests[0]);
    EXPECT_EQ(std::stoi(query(*t, "*ESR?\n")) & 1, 1);
    EXPECT_EQ(t->listen_for_service_requests({}), VI_SUCCESS);
}

// What the server refuses or says goes wrong is a status with its words;
// what it takes (a small maximum message, IPv6) works.
TEST(HislipTransport, TheServersRefusalsAreStatusesAndItsLimitsAreKept) {
    const struct {
        const char* quirks;
        const char* host;
        const char* device;
        bool second_client;
        ViStatus open;
        const char* reason;
        const char* traced;  // a line of the transfers trace
    } rows[] = {
        {"hislip-one-client", "127.0.0.1", "hislip0", true, VI_ERROR_RSRC_BUSY,
         "FatalError 4 (server refused the connection: maximum number of clients exceeded): too",
         "hislip sync recv FatalError control=0x4 parameter=0x0 length="},
        {"", "127.0.0.1", "inst0", false, VI_ERROR_IO, "FatalError 0", "payload="},
        {"hislip-max-message:64", "127.0.0.1", "hislip0", false, VI_SUCCESS, "",
         "hislip sync send Data control=0x0 MessageID=0xFFFFFF02 length=48"},
        {"", "::1", "hislip0", false, VI_SUCCESS, "",
         "hislip async recv AsyncMaximumMessageSizeResponse"},
    };
    for (const auto& row : rows) {
        TraceFile trace(sgvisa::trace::Level::transfers);
        SCOPED_TRACE(std::string(row.quirks) + " " + row.host);
        sgvisa::trace::clear_reason();
        Served s(row.quirks);
        std::unique_ptr<Transport> first = row.second_client ? s.open_ok() : nullptr;
        std::unique_ptr<Transport> t;
        const ViStatus st = s.open(t, row.host, row.device);
        if (st == VI_SUCCESS) {
            // Longer than the server's maximum message: split to fit.
            const std::string bytes(300, 'b');
            for (const std::string& m : {std::string("RECEIVE\n"), bytes + "\n"})
                EXPECT_EQ(write_text(*t, m), VI_SUCCESS);
            EXPECT_EQ(query(*t, "SEND\n"), bytes + "\n");
            EXPECT_EQ(attribute(*t, VI_ATTR_TCPIP_HISLIP_VERSION), 0x00200000u);
            EXPECT_EQ(attribute(*t, VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB), 1024u);
        }
        EXPECT_EQ(st, row.open);
        EXPECT_NE(sgvisa::trace::reason().find(row.reason), std::string::npos)
            << sgvisa::trace::reason();
        EXPECT_NE(trace.text().find(row.traced), std::string::npos) << trace.text();
    }
}

}  // namespace
}  // namespace sgtest
