// sgdemo against sgsim --quirk NAME, end to end in a pseudo-terminal: the
// program's transcript and the commands the generator received, byte for
// byte, when the generator bends the USBTMC rules as real instruments do;
// and the quirks file as a user writes it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "expected_dialogue.h"
#include "pty_session.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace sgtest::dialogue;
using sgtest::PtySession;
using sgtest::SimProcess;
using Clock = std::chrono::steady_clock;

const std::string kProgram = SG_BIN_DIR "/sgdemo";
constexpr auto kBound = 20s;  // generous: the machine is shared with other builds
const std::string kFull =
    kConnect + rf_phase(kIdn + "\r\n", kNoError + "\r\n") + kPause + kLfPhase + kExit;

class QuirkDialogue : public ::testing::Test {
  protected:
    void start_sim(const std::string& quirks) {
        runtime_dir_ = dir_.make_subdir("run");
        sim_ = std::make_unique<SimProcess>(runtime_dir_, "SIM001",
                                            std::vector<std::string>{"--quirk", quirks});
        ASSERT_TRUE(sim_->ready()) << "sgsim did not start: " << sim_->ready_line();
    }

    // A whole run with two key presses; its transcript.
    std::string run(std::chrono::milliseconds* took = nullptr) {
        sgtest::PtyOptions options;
        options.env = {{"XDG_RUNTIME_DIR", runtime_dir_}, {"XDG_CONFIG_HOME", config_dir_}};
        PtySession s(kProgram, options);
        EXPECT_TRUE(s.started()) << s.error();
        EXPECT_TRUE(s.wait_for("Enter serial number: ", kBound)) << s.output();
        const auto started = Clock::now();
        EXPECT_TRUE(s.send("SIM001\r"));
        EXPECT_TRUE(s.wait_for(kPause, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound));
        if (took)
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        EXPECT_TRUE(s.send("k"));
        EXPECT_TRUE(s.wait_for(kExit, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound));
        EXPECT_TRUE(s.send("k"));
        EXPECT_EQ(s.wait_exit(kBound), 0);
        return s.output();
    }

    void write_quirks_file(const std::string& text) {
        dir_.make_subdir("config");
        dir_.make_subdir("config/sgvisa");
        std::ofstream(quirks_path()) << text;
    }
    std::string quirks_path() const { return config_dir_ + "/sgvisa/quirks"; }

    sgtest::TempDir dir_;
    std::string runtime_dir_;
    std::string config_dir_ = dir_.path() + "/config";
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(QuirkDialogue, ShortPacketsOf64BytesByteForByte) {
    start_sim("packet64");
    EXPECT_EQ(run(), kFull);
    EXPECT_EQ(sim_->received(), kAllCommands);
}

TEST_F(QuirkDialogue, ReplyLeftByAnEarlierProgramIsNeverShown) {
    start_sim("leftover");
    EXPECT_EQ(run(), kFull);
    EXPECT_EQ(sim_->received(), kAllCommands);
}

TEST_F(QuirkDialogue, RepliesLaterThanTheTimeoutShowNothingAndNothingLater) {
    start_sim("late:2500");
    std::chrono::milliseconds took{0};
    EXPECT_EQ(run(&took), kConnect + rf_phase("", "") + kPause + kLfPhase + kExit);
    EXPECT_EQ(sim_->received(), kAllCommands);
    EXPECT_GE(took, 3900ms) << "two queries, each ended by the 2 s timeout";
}

TEST_F(QuirkDialogue, SecondRunClearsTheHaltsTheFirstLeft) {
    start_sim("halt-after-close");
    EXPECT_EQ(run(), kFull);
    EXPECT_EQ(run(), kFull);
    std::vector<std::string> twice = kAllCommands;
    twice.insert(twice.end(), kAllCommands.begin(), kAllCommands.end());
    EXPECT_EQ(sim_->received(), twice);
}

TEST_F(QuirkDialogue, DeviceThatNeverSetsEomCostsOneTimeoutUnlessSwitched) {
    start_sim("eom-never");
    std::chrono::milliseconds took{0};
    EXPECT_EQ(run(&took), kFull);
    EXPECT_GE(took, 1900ms) << "the first reply's end is asked about";

    write_quirks_file("# the generator never sets EOM\n0x4d19:0x0040 eom-never\n");
    EXPECT_EQ(run(&took), kFull);
    EXPECT_LT(took, 1500ms);
}

TEST_F(QuirkDialogue, BadLineOfTheQuirksFileIsShownAndIgnored) {
    start_sim("packet64");
    write_quirks_file("0x4d19:0x0040 fast\n");
    const std::string message =
        "sgvisa: " + quirks_path() + ":1: unknown switch \"fast\"; line ignored\r\n";
    const std::string entered = "Enter serial number: SIM001\r\n";
    EXPECT_EQ(run(), entered + message + kFull.substr(entered.size()));
    EXPECT_EQ(sim_->received(), kAllCommands);
}

}  // namespace
