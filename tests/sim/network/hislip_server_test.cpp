// The simulator's HiSLIP server on loopback (the kernel picks the port),
// driven by raw messages made with the proto codec: what each HiSLIP quirk
// changes on the wire, the protocol's answers to a misbehaving client, the
// interrupted-query rule, device clear and locks across clients. Other
// clients (the library's, pyvisa-py's by hand) cover the common paths.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "network/lan_server.h"
#include "network/shared_instrument.h"
#include "proto/hislip.h"
#include "quirk_option.h"
#include "scpi/io_test_instrument.h"

namespace {

namespace hs = sgproto::hislip;
using hs::MessageType;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Msg {
    int type = -1;  // -1: closed, or nothing within the bound
    int control = 0;
    std::uint32_t parameter = 0;
    std::string payload;
};

class Conn {
  public:
    explicit Conn(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Conn() { ::close(fd_); }
    void raw(std::string_view bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void send(MessageType t, int control, std::uint32_t parameter, std::string_view payload = {}) {
        const auto m = hs::message(t, static_cast<std::uint8_t>(control), parameter, payload);
        raw({reinterpret_cast<const char*>(m.data()), m.size()});
    }
    Msg recv(int ms = 3000) {
        for (;;) {
            std::size_t taken = 0;
            if (reader_.feed({pending_.data() + pos_, pending_.size() - pos_}, taken) ==
                hs::MessageReader::Status::message) {
                pos_ += taken;
                const auto& h = reader_.header();
                Msg m{h.type,
                      h.control,
                      h.parameter,
                      {reinterpret_cast<const char*>(reader_.payload().data()),
                       reader_.payload().size()}};
                reader_.next();
                return m;
            }
            pending_.clear();
            pos_ = 0;
            pollfd p{fd_, POLLIN, 0};
            char buffer[65536];
            const ssize_t n = ::poll(&p, 1, ms) == 1 ? ::recv(fd_, buffer, sizeof buffer, 0) : 0;
            if (n <= 0)
                return {};
            pending_.assign(buffer, buffer + n);
        }
    }

  private:
    int fd_;
    hs::MessageReader reader_{1 << 22};
    std::vector<std::uint8_t> pending_;
    std::size_t pos_ = 0;
};

std::string show(const Msg& m) {
    return std::to_string(m.type) + ":" + std::to_string(m.control);
}

struct Served {
    explicit Served(const std::string& quirks = "") {
        std::string error;
        EXPECT_TRUE(quirks.empty() || sgsim::parse_quirks(quirks, faults.quirks, error)) << error;
        shared = std::make_unique<sgsim::SharedInstrument>(instrument, faults);
        server =
            std::make_unique<sgsim::LanServer>(*shared, sgsim::LanOptions{"127.0.0.1", 0, 0, 0, 0});
        EXPECT_TRUE(server->start(error)) << error;
    }
    std::uint16_t port() const { return server->hislip_port(); }
    sgsim::IoTestInstrument instrument{sgsim::IoTestConfig{"HS001", std::nullopt, false}};
    sgsim::DeviceFaults faults;
    std::unique_ptr<sgsim::SharedInstrument> shared;
    std::unique_ptr<sgsim::LanServer> server;
};

// A client that initializes both connections and counts its MessageIDs.
struct Client {
    explicit Client(const Served& s, std::uint64_t max = 1 << 20)
        : sync(s.port()), async(s.port()) {
        sync.send(MessageType::initialize, 0, hs::encode_initialize({hs::kVersion10, {'t', 't'}}),
                  "hislip0");
        init = sync.recv();
        async.send(MessageType::async_initialize, 0, init.parameter & 0xFFFF);
        EXPECT_EQ(async.recv().type, int(MessageType::async_initialize_response));
        const auto size = hs::encode_u64(max);
        async.send(MessageType::async_maximum_message_size, 0, 0,
                   {reinterpret_cast<const char*>(size.data()), size.size()});
        max_response = async.recv();
    }
    // Sends a whole message; the RMT-delivered bit when the last reply was read.
    void write(std::string_view text, MessageType t = MessageType::data_end) {
        sync.send(t, rmt, id, text);
        last = id;
        id = hs::next_message_id(id);
        rmt = 0;
    }
    // A reply's data; `sizes` its messages' payload sizes.
    std::string read() {
        std::string data;
        sizes.clear();
        for (Msg m = sync.recv();
             m.type == int(MessageType::data) || m.type == int(MessageType::data_end);
             m = sync.recv()) {
            data += m.payload;
            sizes.push_back(m.payload.size());
            if (m.type == int(MessageType::data_end)) {
                rmt = 1;
                return data;
            }
        }
        return "(none)";
    }
    std::string query(std::string_view text) {
        write(text);
        return read();
    }
    // A device clear asking for `features`: the acknowledgements' features.
    std::string clear(int features) {
        async.send(MessageType::async_device_clear, 0, 0);
        const Msg ack = async.recv();
        sync.send(MessageType::device_clear_complete, features, 0);
        const Msg done = sync.recv();
        id = hs::kFirstMessageId;
        rmt = 0;
        return show(ack) + " " + show(done);
    }
    Conn sync, async;
    Msg init, max_response;
    std::vector<std::size_t> sizes;
    std::uint32_t id = hs::kFirstMessageId;
    std::uint32_t last = hs::kMessageIdBeforeFirst;
    int rmt = 0;
};

using Probe = std::function<std::string(Served&)>;

TEST(HislipServer, EachQuirkChangesTheWireAsItsRowSays) {
    const std::string big(100, ' ');
    struct Row {
        const char* quirk;
        Probe probe;
        std::string plain, quirky;
    };
    const std::vector<Row> rows = {
        // InitializeResponse's preference, then the clear's offer and agreement.
        {"hislip-sync-only",
         [](Served& s) {
             Client c(s);
             return std::to_string(c.init.control) + " " + c.clear(1);
         },
         "0 23:0 9:1", "0 23:0 9:0"},
        {"hislip-prefer-overlap",
         [](Served& s) {
             Client c(s);
             return std::to_string(c.init.control) + " " + c.clear(0);
         },
         "0 23:0 9:0", "1 23:1 9:0"},
        // What the client may send, and a longer message refused, skipped.
        {"hislip-max-message:64",
         [&](Served& s) {
             Client c(s);
             std::uint64_t max = 0;
             hs::decode_u64({reinterpret_cast<const std::uint8_t*>(c.max_response.payload.data()),
                             c.max_response.payload.size()},
                            max);
             c.write(big + "*IDN?\n");
             const Msg first = c.sync.recv();
             c.rmt = 1;  // the reply (if any) counts as delivered
             return std::to_string(max) + " " + show(first) + " " + c.query("*IDN?\n").substr(0, 9);
         },
         "1048576 7:0 Simulated", "64 3:4 Simulated"},
        {"hislip-one-client",
         [](Served& s) {
             Client first(s);
             Conn second(s.port());
             second.send(MessageType::initialize, 0, hs::encode_initialize({}), "hislip0");
             return show(second.recv());
         },
         "1:0", "2:4"},
        {"late:150",
         [](Served& s) {
             Client c(s);
             const auto t = Clock::now();
             c.query("*IDN?\n");
             return Clock::now() - t >= 140ms ? "late" : "prompt";
         },
         "prompt", "late"},
        {"hislip-late-clear-ack:150",
         [](Served& s) {
             Client c(s);
             const auto t = Clock::now();
             const std::string acks = c.clear(0);
             return acks + (Clock::now() - t >= 140ms ? " late" : " prompt");
         },
         "23:0 9:0 prompt", "23:0 9:0 late"},
    };
    for (const Row& row : rows) {
        Served plain;
        EXPECT_EQ(row.probe(plain), row.plain) << row.quirk;
        Served quirky(row.quirk);
        EXPECT_EQ(row.probe(quirky), row.quirky) << row.quirk;
    }
}

TEST(HislipServer, AnswersAMisbehavingClientAsTheProtocolSays) {
    struct Row {
        const char* what;
        Probe probe;
        std::string expected;  // the answers, then whether the connection stays
    };
    const auto after_init = [](std::function<void(Client&)> act) {
        return [act](Served& s) {
            Client c(s);
            act(c);
            const Msg answer = c.sync.recv();
            // After a fatal error the server closes; after an error it goes on.
            if (answer.type != int(MessageType::fatal_error))
                c.write("*IDN?\n");
            const Msg next = c.sync.recv();
            return show(answer) + (next.type < 0 ? " closed" : " open");
        };
    };
    const auto first_message = [](std::function<void(Conn&)> act) {
        return [act](Served& s) {
            Conn c(s.port());
            act(c);
            const Msg answer = c.recv();
            return show(answer) + (c.recv().type < 0 ? " closed" : " open");
        };
    };
    const std::vector<Row> rows = {
        {"bad prologue", after_init([](Client& c) { c.sync.raw("XS" + std::string(14, '\0')); }),
         "2:1 closed"},
        {"unknown type", after_init([](Client& c) { c.sync.send(MessageType(60), 0, 0); }),
         "3:1 open"},
        {"vendor type", after_init([](Client& c) { c.sync.send(MessageType(200), 0, 0); }),
         "3:3 open"},
        {"StartTLS, not served",
         after_init([](Client& c) { c.sync.send(MessageType::start_tls, 0, 0); }), "3:1 open"},
        {"async before sync",
         first_message([](Conn& c) { c.send(MessageType::async_initialize, 0, 77); }),
         "2:3 closed"},
        {"other first message", first_message([](Conn& c) { c.send(MessageType::data_end, 0, 0); }),
         "2:3 closed"},
        {"not a hislip device", first_message([](Conn& c) {
             c.send(MessageType::initialize, 0, hs::encode_initialize({}), "inst0");
         }),
         "2:0 closed"},
        {"data before AsyncInitialize",
         [](Served& s) {
             Conn c(s.port());
             c.send(MessageType::initialize, 0, hs::encode_initialize({}), "hislip0");
             c.recv();
             c.send(MessageType::data_end, 0, hs::kFirstMessageId, "*IDN?\n");
             return show(c.recv());
         },
         "2:2"},
    };
    Served s;
    for (const Row& row : rows)
        EXPECT_EQ(row.probe(s), row.expected) << row.what;
}

TEST(HislipServer, SynchronizedModeDetectsAnInterruptedQuery) {
    Served s;
    Client c(s);
    c.write("*IDN?\n");
    const Msg reply = c.sync.recv();
    // The reply is not delivered (no RMT-delivered): the next message interrupts it.
    c.write("SYST:ERR?\n");
    const Msg sync = c.sync.recv();
    const Msg async = c.async.recv();
    EXPECT_EQ(reply.parameter, hs::kFirstMessageId);
    EXPECT_EQ(show(sync) + " " + show(async), "13:0 14:0");
    EXPECT_EQ(sync.parameter, c.last);
    EXPECT_EQ(c.read(), "-410,\"Query INTERRUPTED\"\n");
    // A reply delivered and said so: no error.
    c.query("*IDN?\n");
    EXPECT_EQ(c.query("SYST:ERR?\n"), "0,\"No error\"\n");
    // MAV: a reply sent and not delivered, until a status query says it is.
    c.write("*IDN?\n");
    c.read();
    c.async.send(MessageType::async_status_query, 0, c.last);
    c.async.send(MessageType::async_status_query, 1, c.last);
    EXPECT_EQ(c.async.recv().control & 0x10, 0x10);
    EXPECT_EQ(c.async.recv().control & 0x10, 0);
    // A service request, announced with RQS; a status query clears RQS.
    c.write("*ESE 1;*SRE 32;*OPC\n");
    const Msg request = c.async.recv();
    c.async.send(MessageType::async_status_query, 0, c.last);
    c.async.send(MessageType::async_status_query, 0, c.last);
    const int first = c.async.recv().control, second = c.async.recv().control;
    EXPECT_EQ(show(request), "20:" + std::to_string(first));
    EXPECT_EQ((first & 0x40) + (second & 0x40), 0x40);
    // A reply that asks for service on its own, whatever SRE says.
    c.write("*CLS;*SRE 0\n");
    c.write("RCVSLOWSRQ\n");
    c.write("1\n");
    c.write("SENDSLOWSRQ\n");
    EXPECT_EQ(c.read() + show(c.async.recv()).substr(0, 3), "1\n20:");
}

TEST(HislipServer, AMessageBeforeALateReplyDropsIt) {
    Served s("late:100");
    Client c(s);
    c.write("*IDN?\n");
    c.write("SYST:ERR?\n");
    const Msg sync = c.sync.recv();
    EXPECT_EQ(show(sync) + " " + show(c.async.recv()), "13:0 14:0");
    const Msg reply = c.sync.recv();
    EXPECT_EQ(reply.parameter, c.last);
    EXPECT_EQ(reply.payload, "-410,\"Query INTERRUPTED\"\n");
}

TEST(HislipServer, LargeMessagesAndOverlappedRepliesGoInPieces) {
    Served s;
    Client c(s, 64);  // we take messages of 64 bytes, header included
    const std::string data = std::string(200, 'a') + "\n";
    c.write("RECEIVE\n");
    c.write(data.substr(0, 100), MessageType::data);
    c.write(data.substr(100));
    EXPECT_EQ(c.query("SEND\n"), data);
    EXPECT_EQ(c.sizes, (std::vector<std::size_t>{48, 48, 48, 48, 9}));
    // Overlapped: three queries in flight, answered in order, numbered by the server.
    EXPECT_EQ(c.clear(hs::kFeatureOverlapped), "23:0 9:1");
    for (int i = 0; i < 3; ++i)
        c.write(i == 1 ? "SYST:ERR?\n" : "*IDN?\n");
    std::string order;
    for (std::uint32_t i = 0, id = hs::kFirstMessageId; i < 3; ++i, id += 2) {
        const Msg m = c.sync.recv();
        EXPECT_EQ(m.parameter, id);
        order += m.payload.substr(0, 2);
    }
    EXPECT_EQ(order, "Si0,Si");
}

TEST(HislipServer, LocksHoldOtherClientsAndOtherProtocolsUntilReleased) {
    Served s;
    Client a(s), b(s);
    a.async.send(MessageType::async_lock, hs::kLockRequest, 0, "");
    EXPECT_EQ(a.async.recv().control, int(hs::LockResult::success));
    a.async.send(MessageType::async_lock, hs::kLockRequest, 0, "");
    EXPECT_EQ(a.async.recv().control, int(hs::LockResult::error));  // held already
    // Another client: a lock request times out, a query waits, unrefused.
    b.async.send(MessageType::async_lock, hs::kLockRequest, 50, "");
    EXPECT_EQ(b.async.recv().control, int(hs::LockResult::failure));
    b.write("*IDN?\n");
    EXPECT_EQ(b.sync.recv(50).type, -1);
    // A VXI-11 link is kept out too.
    const auto vxi_link = s.shared->create_link(999, false, 0);
    EXPECT_EQ(s.shared->lock({vxi_link.lid, 0, 0}), sgproto::vxi11::ERR_LOCKED_BY_ANOTHER_LINK);
    b.async.send(MessageType::async_lock_info, 0, 0);
    const Msg info = b.async.recv();
    EXPECT_EQ(show(info) + " " + std::to_string(info.parameter), "25:1 1");
    a.async.send(MessageType::async_lock, hs::kLockRelease, a.last, "");
    EXPECT_EQ(a.async.recv().control, int(hs::LockResult::success));
    EXPECT_EQ(b.read().substr(0, 9), "Simulated");
    // Shared: the same key together, another key kept out.
    a.async.send(MessageType::async_lock, hs::kLockRequest, 0, "key");
    b.async.send(MessageType::async_lock, hs::kLockRequest, 0, "key");
    EXPECT_EQ(a.async.recv().control + b.async.recv().control, 2);
    EXPECT_EQ(s.shared->lock({vxi_link.lid, 0, 0}), sgproto::vxi11::ERR_LOCKED_BY_ANOTHER_LINK);
    b.async.send(MessageType::async_lock_info, 0, 0);
    EXPECT_EQ(b.async.recv().parameter, 2u);
    b.async.send(MessageType::async_lock, hs::kLockRelease, b.last, "");
    EXPECT_EQ(b.async.recv().control, int(hs::LockResult::success_shared));
    a.async.send(MessageType::async_lock, hs::kLockRelease, a.last, "");
    EXPECT_EQ(a.async.recv().control, int(hs::LockResult::success_shared));
    // Locks die with the connection.
    {
        Client gone(s);
        gone.async.send(MessageType::async_lock, hs::kLockRequest, 0, "");
        EXPECT_EQ(gone.async.recv().control, int(hs::LockResult::success));
    }
    b.async.send(MessageType::async_lock, hs::kLockRequest, 3000, "");
    EXPECT_EQ(b.async.recv().control, int(hs::LockResult::success));
}

}  // namespace
