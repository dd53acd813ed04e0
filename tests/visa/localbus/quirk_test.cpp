// Our library against sgsim --quirk NAME on the local bus: each deviation of
// real instruments the simulator plays, through the VISA API as a program
// meets it. The I/O test instrument (--io-test) answers SEND with exactly
// the bytes it was given after RECEIVE, so replies of any length can be had.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kName[] = "USB0::0x4d19::0x0040::QRK001::INSTR";
const std::string kIdn = "Simulated Signal Sources,IO-TEST,QRK001,1.0\n";

std::string text_of(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i + 1 < n; ++i)
        s.push_back(static_cast<char>('a' + i % 26));
    return s + "\n";
}

class Quirk : public ::testing::Test {
  protected:
    void start(const std::string& quirks) {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        sim_ = std::make_unique<SimProcess>(
            runtime_, "QRK001", std::vector<std::string>{"--io-test", "--quirk", quirks});
        ASSERT_TRUE(sim_->ready()) << sim_->ready_line();
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        open();
    }
    void open() { ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi_), VI_SUCCESS); }
    void TearDown() override {
        if (rm_ != VI_NULL)
            viClose(rm_);
    }

    ViStatus write(const std::string& s) {
        ViUInt32 n = 0;
        return viWrite(vi_, reinterpret_cast<ViConstBuf>(s.data()), static_cast<ViUInt32>(s.size()),
                       &n);
    }
    // One viRead into `size` bytes.
    ViStatus read(std::string& out, std::size_t size = 4096) {
        std::vector<char> buf(size);
        ViUInt32 n = 0;
        const ViStatus st =
            viRead(vi_, reinterpret_cast<ViPBuf>(buf.data()), static_cast<ViUInt32>(size), &n);
        out.assign(buf.data(), n);
        return st;
    }
    // Makes the instrument's next reply `data` (which ends with a linefeed).
    void prepare_reply(const std::string& data) {
        ASSERT_EQ(write("RECEIVE\n"), VI_SUCCESS);
        ASSERT_EQ(write(data), VI_SUCCESS);
        ASSERT_EQ(write("SEND\n"), VI_SUCCESS);
    }
    ViStatus query(const std::string& q, std::string& reply) {
        const ViStatus st = write(q);
        return st == VI_SUCCESS ? read(reply) : st;
    }
    void expect_idn() {
        std::string reply;
        EXPECT_EQ(query("*IDN?\n", reply), VI_SUCCESS);
        EXPECT_EQ(reply, kIdn);
    }
    void set_timeout(ViUInt32 ms) {
        ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, ms), VI_SUCCESS);
    }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
};

TEST_F(Quirk, Packet64LongReplyInShortPackets) {
    start("packet64");
    prepare_reply(text_of(3000));
    std::string reply;
    ASSERT_EQ(read(reply), VI_SUCCESS);
    EXPECT_EQ(reply, text_of(3000));
    expect_idn();
}

TEST_F(Quirk, NoZlpRepliesEndingOnAPacketBoundaryComeAtOnce) {
    start("no-zlp");
    for (const std::size_t n : {500, 1012, 52, 499, 501}) {
        SCOPED_TRACE(n);
        prepare_reply(text_of(n));
        const auto started = Clock::now();
        std::string reply;
        ASSERT_EQ(read(reply), VI_SUCCESS);
        EXPECT_EQ(reply, text_of(n));
        EXPECT_LT(Clock::now() - started, 1s) << "waited for a zero-length packet";
    }
    expect_idn();
}

TEST_F(Quirk, LeadingEmptyPacketsAreSkipped) {
    start("leading-empty");
    for (int i = 0; i < 3; ++i)
        expect_idn();
}

TEST_F(Quirk, SizeSkewByteIsDroppedAndNeverTheNextHeader) {
    start("size-skew");
    std::string reply;
    ASSERT_EQ(query("*IDN?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, kIdn.substr(0, kIdn.size() - 1)) << "the byte past TransferSize is no data";
    ASSERT_EQ(query("*OPC?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, "1");
}

TEST_F(Quirk, SplitRepliesAreJoinedByTheRead) {
    start("split:5");
    expect_idn();
    expect_idn();
}

TEST_F(Quirk, ContinuationsRepeatingTheFirstBtagAreTheReplysRest) {
    start("split:7,tag-repeat");
    expect_idn();
    expect_idn();
}

TEST_F(Quirk, EomOnEveryTransferEndsEachReadAndABlockIsReadToItsLength) {
    start("eom-always:8");
    std::string reply;
    ASSERT_EQ(query("*IDN?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, kIdn.substr(0, 8)) << "END at the first EOM";
    std::string rest;
    while (reply.size() < kIdn.size()) {
        ASSERT_EQ(read(rest), VI_SUCCESS);
        ASSERT_FALSE(rest.empty());
        reply += rest;
    }
    EXPECT_EQ(reply, kIdn);

    // A definite-length block read on to its declared length, as PyVISA's
    // binary reads do.
    const std::string block = "#220" + std::string(20, 'B') + "\n";
    prepare_reply(block);
    std::string got;
    while (got.size() < block.size()) {
        ASSERT_EQ(read(rest), VI_SUCCESS);
        got += rest;
    }
    EXPECT_EQ(got, block);
}

TEST_F(Quirk, EomNeverFirstReplyIsAskedAboutThenEachEndsAtItsLinefeed) {
    start("eom-never");
    set_timeout(400);
    auto started = Clock::now();
    expect_idn();
    EXPECT_GE(Clock::now() - started, 350ms) << "the first reply waits for the request after it";
    started = Clock::now();
    expect_idn();
    expect_idn();
    EXPECT_LT(Clock::now() - started, 350ms);
    // A read that stops at the linefeed needs no asking.
    viClose(vi_);
    open();
    set_timeout(400);
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    started = Clock::now();
    std::string reply;
    EXPECT_EQ(query("*IDN?\n", reply), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(reply, kIdn);
    EXPECT_LT(Clock::now() - started, 350ms);
}

TEST_F(Quirk, IgnoredTermcharIsFoundByTheLibraryAndTheRestKept) {
    start("ignore-termchar");
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    prepare_reply("ab\rcd\ref\n");
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR, '\r'), VI_SUCCESS);
    std::string reply;
    ASSERT_EQ(read(reply), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(reply, "ab\r");
    ASSERT_EQ(read(reply), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(reply, "cd\r");
    ASSERT_EQ(read(reply), VI_SUCCESS);
    EXPECT_EQ(reply, "ef\n");
}

TEST_F(Quirk, LeftoverOfAnEarlierProgramIsNeverTheAnswer) {
    start("leftover");
    expect_idn();
    expect_idn();
}

TEST_F(Quirk, LateRepliesAfterTheirTimeoutNeverAnswerALaterQuery) {
    start("late:300");
    set_timeout(150);
    std::string reply;
    EXPECT_EQ(query("*IDN?\n", reply), VI_ERROR_TMO);
    set_timeout(2000);
    ASSERT_EQ(query("*OPC?\n", reply), VI_SUCCESS);
    EXPECT_EQ(reply, "1\n") << "not the identification sent late";
    expect_idn();
}

TEST_F(Quirk, EmptyAnswersWhileNoResponseIsReadyMeanNotYet) {
    start("empty-when-idle");
    expect_idn();
    set_timeout(300);
    std::string reply;
    const auto started = Clock::now();
    EXPECT_EQ(read(reply), VI_ERROR_TMO) << "nothing was asked";
    EXPECT_GE(Clock::now() - started, 280ms);
    EXPECT_EQ(reply, "");
    set_timeout(2000);
    expect_idn();
}

TEST_F(Quirk, StalledRemoteLocalRequestsFailTheirCallOnly) {
    start("stall-remote");
    EXPECT_EQ(viGpibControlREN(vi_, VI_GPIB_REN_ASSERT), VI_ERROR_IO);
    EXPECT_EQ(viGpibControlREN(vi_, VI_GPIB_REN_ASSERT_LLO), VI_ERROR_IO);
    EXPECT_EQ(viGpibControlREN(vi_, VI_GPIB_REN_ADDRESS_GTL), VI_ERROR_IO);
    expect_idn();
}

TEST_F(Quirk, EndpointsLeftHaltedByTheLastProgramAreCleared) {
    start("halt-after-close");
    expect_idn();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        viClose(rm_);  // the host goes away
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        open();
        expect_idn();
    }
}

TEST_F(Quirk, ClearThatStaysPendingGivesUpAndTheSessionGoesOn) {
    start("clear-pending");
    const auto started = Clock::now();
    EXPECT_EQ(viClear(vi_), VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - started, 2500ms);
    expect_idn();
}

}  // namespace
}  // namespace sgtest
