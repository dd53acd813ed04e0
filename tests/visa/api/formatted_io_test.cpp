// viPrintf, viScanf and viQueryf against the in-memory instrument.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class FormattedIo : public VisaTest {
  protected:
    void SetUp() override {
        VisaTest::SetUp();
        vi_ = open_instrument();
    }
    ViSession vi_ = VI_NULL;
};

TEST_F(FormattedIo, CommandWithLinefeedIsOneCompleteMessage) {
    ASSERT_EQ(viPrintf(vi_, "SOUR:FREQ 1GHz\n"), VI_SUCCESS);
    const auto writes = instrument().writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, "SOUR:FREQ 1GHz\n");
    EXPECT_TRUE(writes[0].end);
}

TEST_F(FormattedIo, FormatWithoutLinefeedContinuesTheMessage) {
    ASSERT_EQ(viPrintf(vi_, "SOUR:POW %d", 1), VI_SUCCESS);
    ASSERT_EQ(viPrintf(vi_, "%s\n", "dBm"), VI_SUCCESS);
    const auto writes = instrument().writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, "SOUR:POW 1");
    EXPECT_FALSE(writes[0].end);
    EXPECT_EQ(writes[1].bytes, "dBm\n");
    EXPECT_TRUE(writes[1].end);
    EXPECT_EQ(instrument().messages(), std::vector<std::string>{"SOUR:POW 1dBm\n"});
}

TEST_F(FormattedIo, LinefeedFromAnArgumentDoesNotEndTheMessage) {
    ASSERT_EQ(viPrintf(vi_, "%s", "*RST\n"), VI_SUCCESS);
    const auto writes = instrument().writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_FALSE(writes[0].end);
}

TEST_F(FormattedIo, BadFormatsSendNothing) {
    EXPECT_EQ(viPrintf(vi_, "FREQ %q\n", 1), VI_ERROR_INV_FMT);
    EXPECT_EQ(viPrintf(vi_, "DATA %@1d\n", 1), VI_ERROR_NSUP_FMT);
    char buf[8];
    EXPECT_EQ(viQueryf(vi_, "*IDN?\n", "%0T", buf), VI_ERROR_INV_FMT);
    EXPECT_EQ(viQueryf(vi_, "*IDN?\n", "%p", buf), VI_ERROR_NSUP_FMT);
    EXPECT_EQ(viQueryf(vi_, "*IDN%q\n", "%7T", buf), VI_ERROR_INV_FMT);
    EXPECT_TRUE(instrument().writes().empty());
}

TEST_F(FormattedIo, QueryReadsItsReply) {
    instrument().answer("*IDN?\n", "Simulated Signal Sources,SG-4040,4040.0001k02/123456,4.1\n");
    char buf[64];
    ASSERT_EQ(viQueryf(vi_, "*IDN?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "Simulated Signal Sources,SG-4040,4040.0001k02/123456,4.1\n");
    const auto writes = instrument().writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, "*IDN?\n");
    EXPECT_TRUE(writes[0].end);
}

TEST_F(FormattedIo, QuerySharesArgumentsBetweenWriteAndReadFormats) {
    instrument().answer("SOUR2:FREQ?\n", "9000\n");
    long hz = 0;
    ASSERT_EQ(viQueryf(vi_, "SOUR%d:%s?\n", "%ld", 2, "FREQ", &hz), VI_SUCCESS);
    EXPECT_EQ(hz, 9000);
}

TEST_F(FormattedIo, ReplyInPartsIsReassembled) {
    instrument().answer("SYST:ERR?\n", Reply::in_parts({"0,\"No", " er", "ror\"\n"}));
    char buf[64];
    ASSERT_EQ(viQueryf(vi_, "SYST:ERR?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "0,\"No error\"\n");
}

TEST_F(FormattedIo, RestOfLongReplyIsDroppedNotReturnedNext) {
    // Longer than the caller's buffer and than the library's read chunks.
    const std::string long_reply = std::string(10000, 'L') + "\n";
    instrument().answer("LONG?\n",
                        Reply::in_parts({long_reply.substr(0, 5000), long_reply.substr(5000)}));
    instrument().answer("SHORT?\n", "short\n");
    char buf[64];
    ASSERT_EQ(viQueryf(vi_, "LONG?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_EQ(std::string(buf), std::string(63, 'L'));
    ASSERT_EQ(viQueryf(vi_, "SHORT?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "short\n");
}

TEST_F(FormattedIo, DataAfterTheLinefeedIsDroppedToo) {
    // The rest arrives in a later transfer than the field the format wants.
    instrument().answer("A?\n", Reply::in_parts({"first\nsec", "ond\n"}));
    instrument().answer("B?\n", "bee\n");
    char buf[64];
    ASSERT_EQ(viQueryf(vi_, "A?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "first\n");
    ASSERT_EQ(viQueryf(vi_, "B?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "bee\n");
}

TEST_F(FormattedIo, RestAfterANumberIsDroppedAcrossManyReads) {
    // A long binary-ish tail, in more transfers than one read chunk holds.
    std::vector<std::string> parts{"17 "};
    for (int i = 0; i < 10; ++i)
        parts.push_back(std::string(3000, 'a' + i));
    parts.push_back("\n");
    instrument().answer("N?\n", Reply::in_parts(parts));
    instrument().answer("M?\n", "23\n");
    int n = 0;
    ASSERT_EQ(viQueryf(vi_, "N?\n", "%d", &n), VI_SUCCESS);
    EXPECT_EQ(n, 17);
    ASSERT_EQ(viQueryf(vi_, "M?\n", "%d", &n), VI_SUCCESS);
    EXPECT_EQ(n, 23);
}

TEST_F(FormattedIo, ScanfLeavesTheRestForTheNextScanfAndAWriteDropsIt) {
    instrument().push_output("42 volts\n", true);
    instrument().push_output("next\n", true);
    int n = 0;
    ASSERT_EQ(viScanf(vi_, "%d", &n), VI_SUCCESS);
    EXPECT_EQ(n, 42);
    char buf[16];
    ASSERT_EQ(viScanf(vi_, "%15t", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, " volts\n");
    ASSERT_EQ(viScanf(vi_, "%d", &n), VI_SUCCESS);  // a new message: no number in it
    ASSERT_EQ(viScanf(vi_, "%15t", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "next\n");

    // What a format leaves is gone once a new command goes out.
    instrument().answer("V?\n", "7 V\n");
    instrument().answer("W?\n", "8 W\n");
    ASSERT_EQ(viQueryf(vi_, "V?\n", "%d", &n), VI_SUCCESS);
    EXPECT_EQ(n, 7);
    ASSERT_EQ(viQueryf(vi_, "W?\n", "%15t", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "8 W\n");
}

TEST_F(FormattedIo, SilentInstrumentTimesOutAfterTheDefaultTwoSeconds) {
    char buf[64];
    std::strcpy(buf, "stale serial number");
    const auto start = Clock::now();
    const ViStatus st = viQueryf(vi_, "*IDN?\n", "%63T", buf);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(st, VI_ERROR_TMO);
    EXPECT_GE(elapsed, milliseconds(2000));
    EXPECT_LT(elapsed, milliseconds(3000));
    EXPECT_STREQ(buf, "");  // terminated, nothing stale
}

TEST_F(FormattedIo, ReplyWithoutEndTimesOutKeepingWhatCame) {
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
    instrument().set_responder([this](const std::string&) -> std::optional<Reply> {
        instrument().push_output("half a rep", false);  // END never comes
        return std::nullopt;
    });
    char buf[64];
    const auto start = Clock::now();
    EXPECT_EQ(viQueryf(vi_, "Q?\n", "%63t", buf), VI_ERROR_TMO);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(200));
    EXPECT_LT(elapsed, milliseconds(1500));
    EXPECT_STREQ(buf, "half a rep");
}

TEST_F(FormattedIo, RestWithoutEndIsReadByTheNextScanfUntilItsTimeout) {
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
    instrument().set_responder([this](const std::string&) -> std::optional<Reply> {
        instrument().push_output("line\nand more without END", false);
        return std::nullopt;
    });
    char buf[64];
    EXPECT_EQ(viQueryf(vi_, "Q?\n", "%63T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "line\n");
    EXPECT_EQ(viScanf(vi_, "%63t", buf), VI_ERROR_TMO);
    EXPECT_STREQ(buf, "and more without END");
}

}  // namespace
}  // namespace sgtest
