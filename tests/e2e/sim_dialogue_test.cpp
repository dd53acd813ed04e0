// The built sgdemo against the built simulated generator (sgsim), end to end:
// in a pseudo-terminal, typing and pressing keys as an operator would, and
// reading back what the generator received.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "expected_dialogue.h"
#include "pty_session.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "unattended_run.h"

namespace {

using namespace std::chrono_literals;
using namespace sgtest::dialogue;
using sgtest::PtySession;
using sgtest::SimProcess;
using Clock = std::chrono::steady_clock;

const std::string kProgram = SG_BIN_DIR "/sgdemo";
constexpr auto kBound = 20s;  // generous: the machine is shared with other builds

// One simulated generator on a private bus, and sgdemo runs against it.
class SimDialogue : public ::testing::Test {
  protected:
    void start_sim(const std::vector<std::string>& args = {}) {
        runtime_dir_ = runtime_.make_subdir("run");
        sim_ = std::make_unique<SimProcess>(runtime_dir_, "SIM001", args);
        ASSERT_TRUE(sim_->ready()) << "sgsim did not start: " << sim_->ready_line();
    }

    std::unique_ptr<PtySession> start_demo() {
        sgtest::PtyOptions options;
        options.env = {{"XDG_RUNTIME_DIR", runtime_dir_}};
        auto s = std::make_unique<PtySession>(kProgram, options);
        EXPECT_TRUE(s->started()) << s->error();
        EXPECT_TRUE(s->wait_for("Enter serial number: ", kBound)) << s->output();
        return s;
    }

    // Runs the whole dialogue with two key presses; returns the exit status.
    int run_connected(PtySession& s, const std::string& pause_key = "k") {
        const auto earlier = sim_->received().size();
        EXPECT_TRUE(s.send("SIM001\r"));
        EXPECT_TRUE(s.wait_for(kPause, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound)) << "the pause did not begin";
        auto at_pause = sim_->received();
        at_pause.erase(at_pause.begin(),
                       at_pause.begin() + static_cast<long>(std::min(earlier, at_pause.size())));
        EXPECT_EQ(at_pause, kRfCommands)
            << "the RF phase, and nothing of the LF phase before the key";
        EXPECT_TRUE(s.send(pause_key));
        EXPECT_TRUE(s.wait_for(kExit, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound)) << "the exit wait did not begin";
        EXPECT_TRUE(s.send("k"));
        return s.wait_exit(kBound);
    }

    void expect_terminal_restored(const PtySession& s) {
        const termios after = s.settings();
        EXPECT_TRUE(sgtest::same_terminal_settings(s.settings_at_start(), after))
            << sgtest::describe_settings_difference(s.settings_at_start(), after);
    }

    sgtest::TempDir runtime_;
    std::string runtime_dir_;
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(SimDialogue, ConnectedRunTranscriptAndCommandsByteForByte) {
    start_sim();
    auto s = start_demo();
    EXPECT_EQ(run_connected(*s), 0);
    EXPECT_EQ(s->output(),
              kConnect + rf_phase(kIdn + "\r\n", kNoError + "\r\n") + kPause + kLfPhase + kExit);
    EXPECT_EQ(sim_->received(), kAllCommands);
    expect_terminal_restored(*s);

    // The final reset leaves the RF output off.
    const std::string settings = sim_->stop();
    EXPECT_NE(settings.find("RF output: OFF"), std::string::npos) << settings;
    EXPECT_EQ(sim_->exit_status(), 0);
}

TEST_F(SimDialogue, RepliesWithoutLinefeedRunOnTheSameLine) {
    start_sim({"--no-newline"});
    auto s = start_demo();
    EXPECT_EQ(run_connected(*s), 0);
    EXPECT_EQ(s->output(), kConnect + rf_phase(kIdn, kNoError) + kPause + kLfPhase + kExit);
    EXPECT_EQ(sim_->received(), kAllCommands);
}

TEST_F(SimDialogue, ReplySplitOverManyTransfersIsReassembled) {
    start_sim({"--split", "3"});
    auto s = start_demo();
    EXPECT_EQ(run_connected(*s), 0);
    EXPECT_EQ(s->output(),
              kConnect + rf_phase(kIdn + "\r\n", kNoError + "\r\n") + kPause + kLfPhase + kExit);
}

TEST_F(SimDialogue, OverlongReplyIsCutAndTheNextQueryGetsItsOwnReply) {
    std::string idn;
    for (int i = 0; i < 150; ++i)
        idn.push_back(static_cast<char>('A' + i % 26));
    start_sim({"--idn", idn});
    auto s = start_demo();
    EXPECT_EQ(run_connected(*s), 0);
    // 63 characters fit the program's buffer; the rest of the reply is
    // discarded, so the error query still shows the error queue's reply.
    EXPECT_EQ(s->output(), kConnect + rf_phase(idn.substr(0, 63), kNoError + "\r\n") + kPause +
                               kLfPhase + kExit);
    EXPECT_EQ(sim_->received(), kAllCommands);
}

TEST_F(SimDialogue, GeneratorThatNeverAnswersTimesOutEachQueryAndTheRunCompletes) {
    start_sim({"--no-reply"});
    auto s = start_demo();
    const auto start = Clock::now();
    EXPECT_EQ(run_connected(*s), 0);
    const auto took = Clock::now() - start;
    // Two queries, each ended by the 2 s default I/O timeout.
    EXPECT_GE(took, 3900ms);
    EXPECT_LT(took, 15s);
    EXPECT_EQ(s->output(), kConnect + rf_phase("", "") + kPause + kLfPhase + kExit);
    EXPECT_EQ(sim_->received(), kAllCommands) << "every command after a timeout still arrives";
}

TEST_F(SimDialogue, WrongSerialNumberFailsWithOneKeyAndSendsNothing) {
    start_sim();
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM002\r"));
    ASSERT_TRUE(s->wait_for("Connection error!\r\n" + kExit, kBound)) << s->output();
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_TRUE(s->send("k"));
    EXPECT_EQ(s->wait_exit(kBound), 0);
    EXPECT_FALSE(s->timed_out()) << "one key ends a failed run";
    EXPECT_TRUE(sim_->received().empty());
}

TEST_F(SimDialogue, SecondProgramWaitsForTheLockThenFailsHavingSentNothing) {
    start_sim();
    auto first = start_demo();
    ASSERT_TRUE(first->send("SIM001\r"));
    ASSERT_TRUE(first->wait_for(kPause, kBound)) << first->output();
    ASSERT_TRUE(first->wait_for_flow_control(false, kBound));

    auto second = start_demo();
    const auto start = Clock::now();
    ASSERT_TRUE(second->send("SIM001\r"));
    ASSERT_TRUE(second->wait_for("Connection error!\r\n", kBound)) << second->output();
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 4900ms) << "the open waits for the lock up to its 5000 ms timeout";
    EXPECT_LT(waited, 9s);
    EXPECT_EQ(sim_->received(), kRfCommands) << "the waiting program sent nothing";
    ASSERT_TRUE(second->wait_for_flow_control(false, kBound));
    ASSERT_TRUE(second->send("k"));
    EXPECT_EQ(second->wait_exit(kBound), 0);

    // The first run goes on undisturbed.
    ASSERT_TRUE(first->send("k"));
    ASSERT_TRUE(first->wait_for(kExit, kBound)) << first->output();
    ASSERT_TRUE(first->wait_for_flow_control(false, kBound));
    ASSERT_TRUE(first->send("k"));
    EXPECT_EQ(first->wait_exit(kBound), 0);

    // Once the first has exited the generator is free again.
    auto third = start_demo();
    EXPECT_EQ(run_connected(*third), 0);
    EXPECT_NE(third->output().find("Connect to USB0::0x4d19::0x0040::SIM001::0::INSTR"),
              std::string::npos);
    EXPECT_EQ(sim_->received().size(), 2 * kAllCommands.size());
}

TEST_F(SimDialogue, CtrlCAtThePauseContinuesToTheFinalReset) {
    start_sim();
    auto s = start_demo();
    EXPECT_EQ(run_connected(*s, "\x03"), 0);
    EXPECT_EQ(sim_->received(), kAllCommands);
    EXPECT_EQ(s->output(),
              kConnect + rf_phase(kIdn + "\r\n", kNoError + "\r\n") + kPause + kLfPhase + kExit);
    expect_terminal_restored(*s);
}

TEST_F(SimDialogue, SignalDuringTheDialogueRestoresTheTerminal) {
    start_sim();
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM001\r"));
    ASSERT_TRUE(s->wait_for(kPause, kBound)) << s->output();
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_EQ(::kill(s->pid(), SIGHUP), 0);
    EXPECT_EQ(s->wait_exit(kBound), 128 + SIGHUP);
    expect_terminal_restored(*s);
}

TEST_F(SimDialogue, WithoutTerminalTheWholeDialogueRunsUnattended) {
    start_sim();
    const sgtest::Unattended run =
        sgtest::run_without_terminal(kProgram, "SIM001\n", runtime_dir_, kBound);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "Enter serial number: Connect to USB0::0x4d19::0x0040::SIM001::0::INSTR\n"
              "IDN: " +
                  kIdn +
                  "\nsetting frequency to 1 GHz\nsetting power to 1 dBm\n"
                  "power on\n" +
                  kNoError +
                  "\npress any key to continue...\n"
                  "switch LF generator and setting shape SINE\nsetting frequency to 9 kHz\n"
                  "setting amplitude 3 V\npress any key to exit...\n");
    EXPECT_EQ(sim_->received(), kAllCommands);
}

}  // namespace
