// The raw SOCKET transport against the far end of a loopback connection
// the test holds: where reads end, what a clear drops, the 488.2 strings
// VI_ATTR_IO_PROT allows (through the C API), and a peer that goes away.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lan/lan_transports.h"
#include "temp_dir.h"
#include "visa.h"
#include "vxi11_test_server.h"

namespace sgtest {
namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1; accept() is the instrument's end of the open.
class Loopback {
  public:
    Loopback() { listen_fd_ = listen_on_loopback(port_); }
    ~Loopback() {
        if (peer_ >= 0)
            ::close(peer_);
        ::close(listen_fd_);
    }
    std::unique_ptr<sgvisa::Transport> open() {
        std::unique_ptr<sgvisa::Transport> t;
        EXPECT_EQ(sgvisa::lan::open_socket_transport("127.0.0.1", port_,
                                                     sgvisa::deadline_after_ms(2000), t),
                  VI_SUCCESS);
        accept_peer();
        return t;
    }
    void accept_peer() { peer_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC); }
    // Another connection within `ms`, or -1; the caller closes it.
    int accept_another(int ms) const {
        pollfd p{listen_fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1 ? ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    }
    void send(const std::string& s) const { ::send(peer_, s.data(), s.size(), MSG_NOSIGNAL); }
    std::string received(std::size_t n) const {
        std::string s(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(peer_, s.data() + got, n - got, 0);
            if (r <= 0)
                break;
            got += static_cast<std::size_t>(r);
        }
        s.resize(got);
        return s;
    }
    void close_peer() {
        ::close(peer_);
        peer_ = -1;
    }
    std::uint16_t port() const { return port_; }

  private:
    int listen_fd_ = -1;
    int peer_ = -1;
    std::uint16_t port_ = 0;
};

struct Read {
    std::size_t size;
    ViStatus status;
    std::string data;
    bool term_char;
};

struct SocketReadRow {
    const char* name;
    std::string sent;
    bool term_char;
    std::vector<Read> reads;
};

class SocketRead : public ::testing::TestWithParam<SocketReadRow> {};

TEST_P(SocketRead, EndsAtTermCharOnlyWhenEnabledElseAtCountOrTimeout) {
    const SocketReadRow& row = GetParam();
    Loopback lo;
    auto t = lo.open();
    ASSERT_TRUE(t);
    lo.send(row.sent);
    sgvisa::ReadStop stop;
    stop.term_char_enabled = row.term_char;
    for (const Read& want : row.reads) {
        std::vector<std::uint8_t> buf(want.size);
        sgvisa::ReadResult r;
        EXPECT_EQ(t->read(buf, stop, sgvisa::deadline_after_ms(30), r), want.status);
        EXPECT_EQ(std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.count)),
                  want.data);
        EXPECT_EQ(r.term_char, want.term_char);
        EXPECT_FALSE(r.end) << "no END on a raw socket";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SocketRead,
    ::testing::Values(
        SocketReadRow{"TermCharKeepsTheRestForTheNextRead",
                      "AB\nCD\n",
                      true,
                      {{64, VI_SUCCESS, "AB\n", true}, {64, VI_SUCCESS, "CD\n", true}}},
        SocketReadRow{"WithoutTermCharALinefeedDoesNotEnd",
                      "AB\nCD\n",
                      false,
                      {{4, VI_SUCCESS, "AB\nC", false}, {4, VI_ERROR_TMO, "D\n", false}}},
        SocketReadRow{"NoTermCharSeenIsATimeout", "AB", true, {{64, VI_ERROR_TMO, "AB", false}}}),
    [](const auto& p) { return std::string(p.param.name); });

struct ProtRow {
    const char* name;
    ViUInt16 io_prot;
    std::string answer;
    ViStatus stb_status;
    ViUInt16 stb;
    ViStatus trigger_status;
};

class SocketIoProt : public ::testing::TestWithParam<ProtRow> {};

// Through the C API, as a program meets it: the opener, the attribute and
// the strings the session sends over the transport.
TEST_P(SocketIoProt, StatusByteAndTriggerOnlyAs4882Strings) {
    const ProtRow& row = GetParam();
    TempDir runtime;
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1), 0);
    Loopback lo;
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    const std::string name = "TCPIP::127.0.0.1::" + std::to_string(lo.port()) + "::SOCKET";
    ASSERT_EQ(viOpen(rm, name.c_str(), VI_NULL, 2000, &vi), VI_SUCCESS);
    lo.accept_peer();
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 500), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_IO_PROT, row.io_prot), VI_SUCCESS);
    ViBoolean nodelay = VI_FALSE;
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_NODELAY, &nodelay), VI_SUCCESS);
    EXPECT_EQ(nodelay, VI_TRUE);
    const bool strings = row.io_prot == VI_PROT_4882_STRS;
    if (strings)
        lo.send(row.answer);
    ViUInt16 stb = 0;
    EXPECT_EQ(viReadSTB(vi, &stb), row.stb_status);
    EXPECT_EQ(stb, row.stb);
    EXPECT_EQ(viAssertTrigger(vi, VI_TRIG_PROT_DEFAULT), row.trigger_status);
    if (strings) {
        EXPECT_EQ(lo.received(11), "*STB?\n*TRG\n");
    }
    viClose(rm);
}

INSTANTIATE_TEST_SUITE_P(Rows, SocketIoProt,
                         ::testing::Values(ProtRow{"Normal", VI_PROT_NORMAL, "", VI_ERROR_INV_SETUP,
                                                   0, VI_ERROR_INV_SETUP},
                                           ProtRow{"Strings", VI_PROT_4882_STRS, "17\n", VI_SUCCESS,
                                                   17, VI_SUCCESS},
                                           ProtRow{"StringsNotAByte", VI_PROT_4882_STRS, "300\n",
                                                   VI_ERROR_IO, 0, VI_SUCCESS}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SocketLink, ClearDropsWhatCameAndTheNextReplyIsRead) {
    Loopback lo;
    auto t = lo.open();
    ASSERT_TRUE(t);
    lo.send("STALE\n");
    std::vector<std::uint8_t> one(1);
    sgvisa::ReadResult r;
    ASSERT_EQ(t->read(one, {}, sgvisa::deadline_after_ms(500), r), VI_SUCCESS);
    ASSERT_EQ(t->clear(sgvisa::deadline_after_ms(500)), VI_SUCCESS);
    lo.send("NEW\n");
    std::vector<std::uint8_t> buf(64);
    sgvisa::ReadStop stop;
    stop.term_char_enabled = true;
    ASSERT_EQ(t->read(buf, stop, sgvisa::deadline_after_ms(500), r), VI_SUCCESS);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.count)),
              "NEW\n");
}

TEST(SocketLink, PeerThatGoesAwayIsConnectionLostAtOnce) {
    Loopback lo;
    auto t = lo.open();
    ASSERT_TRUE(t);
    lo.send("PART");
    lo.close_peer();
    std::vector<std::uint8_t> buf(64);
    sgvisa::ReadResult r;
    const auto start = sgvisa::Clock::now();
    EXPECT_EQ(t->read(buf, {}, sgvisa::deadline_after_ms(5000), r), VI_ERROR_CONN_LOST);
    EXPECT_EQ(r.count, 4u);
    EXPECT_LT(sgvisa::Clock::now() - start, 1s);
    EXPECT_TRUE(t->lost());
}

TEST(SocketLink, PortNobodyListensOnIsNotFound) {
    std::uint16_t port = 0;
    {
        Loopback gone;
        port = gone.port();
    }
    std::unique_ptr<sgvisa::Transport> t;
    EXPECT_EQ(
        sgvisa::lan::open_socket_transport("127.0.0.1", port, sgvisa::deadline_after_ms(500), t),
        VI_ERROR_RSRC_NFOUND);
    EXPECT_FALSE(t);
}

// Two sessions of one process to one socket resource are two connections,
// as with any VISA: sharing one stream, each would read the other's replies.
TEST(SocketLink, EachSessionHasAConnectionOfItsOwn) {
    TempDir runtime;
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1), 0);
    Loopback lo;
    ViSession rm = VI_NULL;
    ViSession a = VI_NULL;
    ViSession b = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    const std::string name = "TCPIP::127.0.0.1::" + std::to_string(lo.port()) + "::SOCKET";
    ASSERT_EQ(viOpen(rm, name.c_str(), VI_NULL, 2000, &a), VI_SUCCESS);
    lo.accept_peer();
    ASSERT_EQ(viOpen(rm, name.c_str(), VI_NULL, 2000, &b), VI_SUCCESS);
    const int second = lo.accept_another(2000);
    ASSERT_GE(second, 0) << "the second session shares the first one's connection";
    const timeval bound{2, 0};
    ::setsockopt(second, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ViUInt32 count = 0;
    ASSERT_EQ(viWrite(b, reinterpret_cast<ViConstBuf>("B?\n"), 3, &count), VI_SUCCESS);
    char got[3] = {};
    EXPECT_EQ(::recv(second, got, sizeof got, MSG_WAITALL), 3);
    EXPECT_EQ(std::string(got, 3), "B?\n");
    ::close(second);
    viClose(rm);
}

}  // namespace
}  // namespace sgtest
