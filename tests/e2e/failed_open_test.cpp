// The built sgdemo, end to end, when no generator answers: in a terminal as
// an operator runs it, and without a terminal at all.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "pty_session.h"
#include "temp_dir.h"
#include "unattended_run.h"

namespace {

using namespace std::chrono_literals;
using sgtest::PtySession;

const std::string kProgram = SG_BIN_DIR "/sgdemo";

// Generous: the machine is shared with other builds.
constexpr auto kBound = 20s;

const std::string kFailedTail = "Connection error!\r\npress any key to exit...\r\n";

// Each run gets a private, empty runtime directory, so that no simulated
// generator of another test can answer.
class FailedOpenInTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        sgtest::PtyOptions options;
        options.env = {{"XDG_RUNTIME_DIR", runtime_.path()}};
        session_ = std::make_unique<PtySession>(kProgram, options);
        ASSERT_TRUE(session_->started()) << session_->error();
        ASSERT_TRUE(session_->wait_for("Enter serial number: ", kBound)) << session_->output();
    }

    // Types the serial number line, expects the failed-open lines and the key
    // wait, and presses `key`. Returns the exit status.
    int fail_with_key(const std::string& serial_line, const std::string& key) {
        PtySession& s = *session_;
        EXPECT_TRUE(s.send(serial_line));
        EXPECT_TRUE(s.wait_for(kFailedTail, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound)) << "the key wait did not begin";
        EXPECT_TRUE(s.send(key));
        return s.wait_exit(kBound);
    }

    void expect_terminal_restored() {
        const termios after = session_->settings();
        EXPECT_TRUE(sgtest::same_terminal_settings(session_->settings_at_start(), after))
            << sgtest::describe_settings_difference(session_->settings_at_start(), after);
    }

    sgtest::TempDir runtime_;
    std::unique_ptr<PtySession> session_;
};

TEST_F(FailedOpenInTerminal, TranscriptOneKeyAndExitStatusZero) {
    EXPECT_EQ(fail_with_key("ABC123\r", "k"), 0);
    EXPECT_FALSE(session_->timed_out());
    EXPECT_EQ(session_->output(), "Enter serial number: ABC123\r\n" + kFailedTail)
        << "the key is neither echoed nor followed by anything";
    expect_terminal_restored();
}

TEST_F(FailedOpenInTerminal, CtrlCIsAKeyAndDoesNotKillTheProgram) {
    EXPECT_EQ(fail_with_key("ABC123\r", "\x03"), 0);
    EXPECT_EQ(session_->output(), "Enter serial number: ABC123\r\n" + kFailedTail);
    expect_terminal_restored();
}

TEST_F(FailedOpenInTerminal, AnArrowKeyIsOneKeyAndIsNotEchoed) {
    EXPECT_EQ(fail_with_key("ABC123\r", "\x1b[A"), 0);
    EXPECT_EQ(session_->output(), "Enter serial number: ABC123\r\n" + kFailedTail);
    expect_terminal_restored();
}

TEST_F(FailedOpenInTerminal, EmptyLinesDoNotEndTheReadNorRepeatThePrompt) {
    EXPECT_EQ(fail_with_key("\r\r  \rABC123 and more\r", "k"), 0);
    EXPECT_EQ(session_->output(),
              "Enter serial number: \r\n\r\n  \r\nABC123 and more\r\n" + kFailedTail);
    expect_terminal_restored();
}

TEST_F(FailedOpenInTerminal, ThousandCharacterSerialNumber) {
    std::string serial;
    for (int i = 0; i < 1000; ++i)
        serial.push_back(static_cast<char>('a' + i % 26));
    EXPECT_EQ(fail_with_key(serial + "\r", "k"), 0);
    EXPECT_EQ(session_->output(), "Enter serial number: " + serial + "\r\n" + kFailedTail);
    expect_terminal_restored();
}

TEST_F(FailedOpenInTerminal, AKeyTypedAheadOfTheWaitCounts) {
    // The key arrives while the serial number is still being handled; it is
    // echoed then (the terminal is still in line mode) and ends the wait.
    ASSERT_TRUE(session_->send("ABC123\rk"));
    EXPECT_EQ(session_->wait_exit(kBound), 0);
    EXPECT_FALSE(session_->timed_out());
    EXPECT_TRUE(session_->wait_for(kFailedTail, 0ms)) << session_->output();
    expect_terminal_restored();
}

// Ended by a signal while it waits for the key, the program still leaves the
// terminal as it found it.
class TerminatedAtTheKeyWait : public FailedOpenInTerminal,
                               public ::testing::WithParamInterface<int> {};

TEST_P(TerminatedAtTheKeyWait, RestoresTheTerminal) {
    PtySession& s = *session_;
    ASSERT_TRUE(s.send("ABC123\r"));
    ASSERT_TRUE(s.wait_for(kFailedTail, kBound)) << s.output();
    ASSERT_TRUE(s.wait_for_flow_control(false, kBound)) << "the key wait did not begin";
    ASSERT_EQ(::kill(s.pid(), GetParam()), 0);
    EXPECT_EQ(s.wait_exit(kBound), 128 + GetParam());
    EXPECT_FALSE(s.timed_out());
    expect_terminal_restored();
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminatedAtTheKeyWait, ::testing::Values(SIGTERM, SIGHUP));

// Without a controlling terminal (started by setsid) and with standard input
// from a pipe, the run goes to its end unattended.
class WithoutTerminal : public ::testing::TestWithParam<std::string> {};

TEST_P(WithoutTerminal, RunsToItsEndAndExitsZero) {
    sgtest::TempDir runtime;
    const sgtest::Unattended run =
        sgtest::run_without_terminal(kProgram, GetParam(), runtime.path(), kBound);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "Enter serial number: Connection error!\npress any key to exit...\n");
}

INSTANTIATE_TEST_SUITE_P(Inputs, WithoutTerminal,
                         ::testing::Values(std::string(), std::string("SN123\n"),
                                           std::string(1000, 'S') + "\n"),
                         [](const ::testing::TestParamInfo<std::string>& param_info) {
                             if (param_info.param.empty())
                                 return std::string("EmptyInput");
                             return "SerialOf" + std::to_string(param_info.param.size() - 1) +
                                    "Chars";
                         });

}  // namespace
