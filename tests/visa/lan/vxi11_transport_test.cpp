// The VXI-11 transport against a device in the test (vxi11_test_server.h):
// where reads end, how writes are split, and the faults a LAN device shows
// (late replies, death mid-reply, a giant fragment, an abort from another
// thread, and through the C API a service request with a fragment length
// four bytes long, the status byte and the device's lock).
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

#include "lan/lan_transports.h"
#include "lan/vxi11_transport.h"
#include "temp_dir.h"
#include "visa.h"
#include "vxi11_test_server.h"

namespace sgtest {
namespace {

using namespace std::chrono_literals;

struct Piece {
    std::string data;
    bool end;
    bool term_char;
};

std::unique_ptr<sgvisa::Transport> open_link(const Vxi11TestServer& server) {
    sgvisa::lan::Vxi11Options options;
    options.portmap_port = server.port();
    options.reply_margin = 40ms;  // the margin a late reply is given up after
    std::unique_ptr<sgvisa::Transport> t;
    EXPECT_EQ(sgvisa::lan::open_vxi11_transport("127.0.0.1", "inst0",
                                                sgvisa::deadline_after_ms(2000), t, options),
              VI_SUCCESS);
    return t;
}

ViStatus read_piece(sgvisa::Transport& t, std::size_t size, bool term_char, Piece& out,
                    std::uint32_t timeout_ms = 2000) {
    std::vector<std::uint8_t> buf(size);
    sgvisa::ReadStop stop;
    stop.term_char_enabled = term_char;
    sgvisa::ReadResult r;
    const ViStatus st = t.read(buf, stop, sgvisa::deadline_after_ms(timeout_ms), r);
    out = {std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.count)), r.end,
           r.term_char};
    return st;
}

ViStatus write_text(sgvisa::Transport& t, const std::string& s, bool end = true) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(s.data());
    return t.write({b, s.size()}, end, sgvisa::deadline_after_ms(2000));
}

struct ReadRow {
    const char* name;
    std::string reply;
    std::size_t device_chunk;
    bool ignore_request_size;
    bool honour_term_char;
    bool term_char;
    std::size_t buf_size;
    std::vector<Piece> reads;
};

class Vxi11Read : public ::testing::TestWithParam<ReadRow> {};

TEST_P(Vxi11Read, EndsAtEndTermCharOrCount) {
    const ReadRow& row = GetParam();
    Vxi11TestServer server(
        {1024, row.reply, row.device_chunk, row.ignore_request_size, row.honour_term_char});
    auto t = open_link(server);
    ASSERT_TRUE(t);
    for (const Piece& want : row.reads) {
        Piece got;
        ASSERT_EQ(read_piece(*t, row.buf_size, row.term_char, got), VI_SUCCESS);
        EXPECT_EQ(got.data, want.data);
        EXPECT_EQ(got.end, want.end) << got.data;
        EXPECT_EQ(got.term_char, want.term_char) << got.data;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Vxi11Read,
    ::testing::Values(
        ReadRow{"OnePiece", "HELLO\n", 0, false, true, false, 64, {{"HELLO\n", true, false}}},
        // END comes with a piece that filled its request exactly.
        ReadRow{"ExactMultipleOfDeviceChunk",
                "ABCDEFGH",
                4,
                false,
                true,
                false,
                8,
                {{"ABCDEFGH", true, false}}},
        ReadRow{"CountBeforeEnd",
                "ABCDEFGH",
                0,
                false,
                true,
                false,
                5,
                {{"ABCDE", false, false}, {"FGH", true, false}}},
        // END and the termination character together: both are told (the
        // session gives END priority).
        ReadRow{"TermCharAtTheDevice",
                "AB\nCD\n",
                0,
                false,
                true,
                true,
                64,
                {{"AB\n", false, true}, {"CD\n", true, true}}},
        ReadRow{"TermCharTheDeviceIgnores",
                "AB\nCD\n",
                0,
                false,
                false,
                true,
                64,
                {{"AB\n", false, true}, {"CD\n", true, true}}},
        ReadRow{"LinefeedWithoutTermCharGoesOn",
                "AB\nCD\n",
                2,
                false,
                true,
                false,
                64,
                {{"AB\nCD\n", true, false}}},
        ReadRow{"DeviceIgnoresRequestSize",
                "ABCDEFGH",
                0,
                true,
                true,
                false,
                3,
                {{"ABC", false, false}, {"DEF", false, false}, {"GH", true, false}}}),
    [](const auto& row) { return std::string(row.param.name); });

struct WriteRow {
    const char* name;
    std::size_t size;
    std::uint32_t max_recv_size;
    bool end;
    std::vector<std::size_t> pieces;
};

class Vxi11Write : public ::testing::TestWithParam<WriteRow> {};

TEST_P(Vxi11Write, SplitsAtMaxRecvSizeWithEndOnTheLastPieceOnly) {
    const WriteRow& row = GetParam();
    Vxi11TestServer server({row.max_recv_size, "x"});
    auto t = open_link(server);
    ASSERT_TRUE(t);
    std::string data(row.size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(write_text(*t, data, row.end), VI_SUCCESS);
    const auto writes = server.writes();
    ASSERT_EQ(writes.size(), row.pieces.size());
    std::string joined;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].data.size(), row.pieces[i]);
        const bool last = i + 1 == writes.size();
        EXPECT_EQ((writes[i].flags & vxi::kFlagEnd) != 0, last && row.end) << "piece " << i;
        joined += writes[i].data;
    }
    EXPECT_EQ(joined, data);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Vxi11Write,
    ::testing::Values(WriteRow{"ThreePieces", 2500, 1024, true, {1024, 1024, 452}},
                      WriteRow{"Exactly", 1024, 1024, true, {1024}},
                      WriteRow{"Empty", 0, 1024, true, {0}},
                      WriteRow{"NoEnd", 2048, 1024, false, {1024, 1024}}),
    [](const auto& row) { return std::string(row.param.name); });

struct FaultRow {
    const char* name;
    Vxi11Fault fault;
    ViStatus status;
};

class Vxi11Fault_ : public ::testing::TestWithParam<FaultRow> {};

TEST_P(Vxi11Fault_, BrokenReplyLosesTheLinkPromptly) {
    Vxi11TestServer server({1024, "HELLO\n", 0, false, true, GetParam().fault});
    auto t = open_link(server);
    ASSERT_TRUE(t);
    const auto start = sgvisa::Clock::now();
    Piece got;
    EXPECT_EQ(read_piece(*t, 64, false, got, 5000), GetParam().status);
    EXPECT_LT(sgvisa::Clock::now() - start, 1s);
    EXPECT_TRUE(t->lost());
    EXPECT_EQ(write_text(*t, "AGAIN?\n"), VI_ERROR_CONN_LOST);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Vxi11Fault_,
    ::testing::Values(FaultRow{"DiesMidReply", Vxi11Fault::die_mid_reply, VI_ERROR_CONN_LOST},
                      FaultRow{"GiantFragment", Vxi11Fault::giant_fragment, VI_ERROR_CONN_LOST}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Vxi11Link, LateReplyOfATimedOutQueryIsDroppedNotHandedOn) {
    Vxi11TestServer server({1024, "", 0, false, true, Vxi11Fault::hold_first_read});
    auto t = open_link(server);
    ASSERT_TRUE(t);
    Piece got;
    ASSERT_EQ(write_text(*t, "FIRST?\n"), VI_SUCCESS);
    EXPECT_EQ(read_piece(*t, 64, false, got, 10), VI_ERROR_TMO);
    ASSERT_EQ(write_text(*t, "SECOND?\n"), VI_SUCCESS);
    ASSERT_EQ(read_piece(*t, 64, false, got), VI_SUCCESS);
    EXPECT_EQ(got.data, "SECOND?\n");
    EXPECT_EQ(dynamic_cast<sgvisa::lan::Vxi11Transport&>(*t).stale_replies(), 1u);
}

TEST(Vxi11Link, CancelFromAnotherThreadAbortsThePendingRead) {
    Vxi11TestServer server({1024, "AFTER\n", 0, false, true, Vxi11Fault::read_until_abort});
    auto t = open_link(server);
    ASSERT_TRUE(t);
    auto reading = std::async(std::launch::async, [&] {
        Piece got;
        const auto start = sgvisa::Clock::now();
        const ViStatus st = read_piece(*t, 64, false, got, 5000);
        return std::make_pair(st, sgvisa::Clock::now() - start);
    });
    ASSERT_TRUE(server.wait_read_started());
    t->cancel();
    const auto [st, took] = reading.get();
    EXPECT_EQ(st, VI_ERROR_ABORT);
    EXPECT_LT(took, 1s);
    // The cancel was the read's: listening for service requests, which
    // another session may start before the next operation resumes the
    // transport, is not aborted by it.
    EXPECT_EQ(t->listen_for_service_requests([](std::uint8_t) {}), VI_SUCCESS);
    EXPECT_EQ(t->listen_for_service_requests(nullptr), VI_SUCCESS);
    // The device answered the aborted call: the next read is in step.
    t->resume();
    Piece got;
    ASSERT_EQ(read_piece(*t, 64, false, got), VI_SUCCESS);
    EXPECT_EQ(got.data, "AFTER\n");
}

// Through the C API: the opener with the portmapper moved by the
// environment, a service request whose fragment length is four bytes long
// delivered as an event, the status byte, and viLock as device_lock.
TEST(Vxi11Link, ServiceRequestEventStatusByteAndDeviceLockThroughTheApi) {
    Vxi11TestServer server({1024, "x"});
    TempDir runtime;
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1), 0);
    ASSERT_EQ(setenv("SGVISA_PORTMAP_PORT", std::to_string(server.port()).c_str(), 1), 0);
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    const ViStatus opened = viOpen(rm, "TCPIP::127.0.0.1::INSTR", VI_NULL, 2000, &vi);
    unsetenv("SGVISA_PORTMAP_PORT");
    ASSERT_EQ(opened, VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL), VI_SUCCESS);
    ViEventType type = 0;
    ViEvent event = VI_NULL;
    ASSERT_EQ(viWaitOnEvent(vi, VI_EVENT_SERVICE_REQ, 2000, &type, &event), VI_SUCCESS);
    EXPECT_EQ(type, static_cast<ViEventType>(VI_EVENT_SERVICE_REQ));
    viClose(event);
    ViUInt16 stb = 0;
    EXPECT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    EXPECT_EQ(stb, 0x51);
    ASSERT_EQ(viLock(vi, VI_EXCLUSIVE_LOCK, 1000, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viUnlock(vi), VI_SUCCESS);
    EXPECT_EQ(viDisableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE), VI_SUCCESS);
    viClose(rm);
    const auto procs = server.procs();
    for (const std::uint32_t proc :
         {vxi::CREATE_LINK, vxi::CREATE_INTR_CHAN, vxi::DEVICE_ENABLE_SRQ, vxi::DEVICE_READSTB,
          vxi::DEVICE_LOCK, vxi::DEVICE_UNLOCK, vxi::DESTROY_INTR_CHAN, vxi::DESTROY_LINK})
        EXPECT_NE(std::find(procs.begin(), procs.end(), proc), procs.end())
            << vxi::proc_name(vxi::kCoreProgram, proc);
}

}  // namespace
}  // namespace sgtest
