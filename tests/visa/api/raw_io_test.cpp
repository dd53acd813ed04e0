// viWrite, viRead and viClear against the in-memory instrument.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class RawIo : public VisaTest {
  protected:
    void SetUp() override {
        VisaTest::SetUp();
        vi_ = open_instrument();
    }
    ViSession vi_ = VI_NULL;
};

const ViByte* bytes(const char* s) {
    return reinterpret_cast<const ViByte*>(s);
}

TEST_F(RawIo, WriteSendsOneCompleteMessage) {
    ViUInt32 count = 0;
    ASSERT_EQ(viWrite(vi_, bytes("OUTP ON\n"), 8, &count), VI_SUCCESS);
    EXPECT_EQ(count, 8u);
    ASSERT_EQ(viWrite(vi_, bytes("A\0B"), 3, nullptr), VI_SUCCESS);  // binary, no count wanted
    const auto writes = instrument().writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, "OUTP ON\n");
    EXPECT_TRUE(writes[0].end);
    EXPECT_EQ(writes[1].bytes, std::string("A\0B", 3));
    EXPECT_TRUE(writes[1].end);
}

TEST_F(RawIo, ReadEndsAtEndIndicator) {
    instrument().push_output("12", false);
    instrument().push_output("34\n", true);
    ViByte buf[32];
    ViUInt32 count = 0;
    ASSERT_EQ(viRead(vi_, buf, sizeof buf, &count), VI_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "1234\n");
}

TEST_F(RawIo, ReadThatFillsTheBufferSaysSoAndLeavesTheRest) {
    instrument().push_output("abcdefgh", true);
    ViByte buf[8] = {};
    ViUInt32 count = 0;
    ASSERT_EQ(viRead(vi_, buf, 5, &count), VI_SUCCESS_MAX_CNT);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(buf[5], 0);  // nothing past the count given
    ASSERT_EQ(viRead(vi_, buf, 5, &count), VI_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "fgh");
}

TEST_F(RawIo, ReadOfExactlyTheMessageIsSuccess) {
    instrument().push_output("abc", true);
    ViByte buf[3];
    ViUInt32 count = 0;
    EXPECT_EQ(viRead(vi_, buf, 3, &count), VI_SUCCESS);
    EXPECT_EQ(count, 3u);
}

TEST_F(RawIo, ReadTimesOutAfterTheSessionTimeout) {
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 300), VI_SUCCESS);
    instrument().push_output("part", false);
    ViByte buf[32];
    ViUInt32 count = 0;
    const auto start = Clock::now();
    EXPECT_EQ(viRead(vi_, buf, sizeof buf, &count), VI_ERROR_TMO);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(count, 4u);  // what came before the timeout
    EXPECT_GE(elapsed, milliseconds(300));
    EXPECT_LT(elapsed, milliseconds(1500));
}

TEST_F(RawIo, ImmediateTimeoutDoesNotWait) {
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, VI_TMO_IMMEDIATE), VI_SUCCESS);
    ViByte buf[4];
    const auto start = Clock::now();
    EXPECT_EQ(viRead(vi_, buf, sizeof buf, nullptr), VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - start, milliseconds(500));
}

TEST_F(RawIo, ClearReachesTheInstrumentAndDropsPendingOutput) {
    instrument().push_output("stale\n", true);
    ASSERT_EQ(viClear(vi_), VI_SUCCESS);
    EXPECT_EQ(instrument().clears(), 1);
    instrument().answer("*OPC?\n", "1\n");
    char buf[8];
    ASSERT_EQ(viQueryf(vi_, "*OPC?\n", "%7T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "1\n");
    EXPECT_EQ(viClear(rm()), VI_ERROR_INV_OBJECT);
}

// Reads as PyVISA makes them: the termination character ends a read (the
// rest of the transfer waits in the library for the next one), a read of one
// byte at a time, END suppressed, and writes that do not end the message.
TEST_F(RawIo, TermCharSuppressedEndAndUnendedWrites) {
    auto text = [](const ViByte* b, ViUInt32 n) {
        return std::string(reinterpret_cast<const char*>(b), n);
    };
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR, '\r'), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    instrument().push_output("te\rst\r\n", true);
    ViByte buf[64];
    ViUInt32 count = 0;
    ASSERT_EQ(viRead(vi_, buf, sizeof buf, &count), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(text(buf, count), "te\r");
    ASSERT_EQ(viRead(vi_, buf, sizeof buf, &count), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(text(buf, count), "st\r");
    ASSERT_EQ(viRead(vi_, buf, 1, &count), VI_SUCCESS) << "END on the last byte";
    EXPECT_EQ(text(buf, count), "\n");

    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_FALSE), VI_SUCCESS);
    instrument().push_output("ok\n", true);
    for (const char* expected : {"o", "k"}) {
        ASSERT_EQ(viRead(vi_, buf, 1, &count), VI_SUCCESS_MAX_CNT);
        EXPECT_EQ(text(buf, count), expected);
    }
    ASSERT_EQ(viRead(vi_, buf, 1, &count), VI_SUCCESS);
    EXPECT_EQ(text(buf, count), "\n");

    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_SUPPRESS_END_EN, VI_TRUE), VI_SUCCESS);
    instrument().push_output("x", true);
    instrument().push_output("y\n", true);
    ASSERT_EQ(viRead(vi_, buf, 3, &count), VI_SUCCESS_MAX_CNT) << "END does not end the read";
    EXPECT_EQ(text(buf, count), "xy\n");

    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
    ASSERT_EQ(viWrite(vi_, bytes("RAW"), 3, &count), VI_SUCCESS);
    ASSERT_EQ(viPrintf(vi_, "FMT\n"), VI_SUCCESS);
    const auto writes = instrument().writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_FALSE(writes[0].end);
    EXPECT_FALSE(writes[1].end) << "no END at all while VI_ATTR_SEND_END_EN is off";
}

// The ways a new message begins. Each drops what the library kept of the
// last reply past a termination character, as the instrument drops a reply
// left unread when a new message begins, whichever session sends it.
enum class NewMessage { write, printf, write_async, queryf, clear, other_session };

class KeptInput : public VisaTest, public ::testing::WithParamInterface<NewMessage> {};

TEST_P(KeptInput, ANewMessageDropsTheRestOfTheLastReply) {
    instrument().answer("Q1?\n", "LINE1\nLINE2\n");  // one transfer: no TermChar here
    instrument().answer("Q2?\n", "R2\n");
    const ViSession vi = open_instrument(VI_NULL);
    const ViSession other = open_instrument(VI_NULL);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(vi, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS);
    ViUInt32 count = 0;
    ASSERT_EQ(viWrite(vi, bytes("Q1?\n"), 4, &count), VI_SUCCESS);
    ViByte buf[64];
    ASSERT_EQ(viRead(vi, buf, sizeof buf, &count), VI_SUCCESS_TERM_CHAR);
    ASSERT_EQ(std::string(reinterpret_cast<char*>(buf), count), "LINE1\n");

    char reply[64] = "";
    switch (GetParam()) {
        case NewMessage::write:
            ASSERT_EQ(viWrite(vi, bytes("Q2?\n"), 4, &count), VI_SUCCESS);
            break;
        case NewMessage::printf:
            ASSERT_EQ(viPrintf(vi, "Q2?\n"), VI_SUCCESS);
            break;
        case NewMessage::write_async: {
            ASSERT_EQ(viWriteAsync(vi, bytes("Q2?\n"), 4, VI_NULL), VI_SUCCESS);
            ViEvent done = VI_NULL;
            ASSERT_EQ(viWaitOnEvent(vi, VI_EVENT_IO_COMPLETION, 2000, VI_NULL, &done), VI_SUCCESS);
            viClose(done);
            break;
        }
        case NewMessage::queryf:
            ASSERT_EQ(viQueryf(vi, "Q2?\n", "%63t", reply), VI_SUCCESS);
            EXPECT_STREQ(reply, "R2\n");
            return;
        case NewMessage::clear:
            ASSERT_EQ(viClear(vi), VI_SUCCESS);
            ASSERT_EQ(viWrite(vi, bytes("Q2?\n"), 4, &count), VI_SUCCESS);
            break;
        case NewMessage::other_session:
            ASSERT_EQ(viWrite(other, bytes("Q2?\n"), 4, &count), VI_SUCCESS);
            break;
    }
    ASSERT_EQ(viRead(vi, buf, sizeof buf, &count), VI_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "R2\n");
}

std::string message_name(const ::testing::TestParamInfo<NewMessage>& param) {
    static const char* const kNames[] = {"viWrite",  "viPrintf", "viWriteAsync",
                                         "viQueryf", "viClear",  "AnotherSession"};
    return kNames[static_cast<int>(param.param)];
}

INSTANTIATE_TEST_SUITE_P(By, KeptInput,
                         ::testing::Values(NewMessage::write, NewMessage::printf,
                                           NewMessage::write_async, NewMessage::queryf,
                                           NewMessage::clear, NewMessage::other_session),
                         message_name);

}  // namespace
}  // namespace sgtest
