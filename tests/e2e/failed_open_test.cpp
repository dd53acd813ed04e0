// The built sgdemo, end to end, when no generator answers: in a terminal as
// an operator runs it, and without a terminal at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process_wait.h"
#include "pty_session.h"
#include "temp_dir.h"

extern char** environ;

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
struct Unattended {
    std::string output;
    int status = -1;
};

Unattended run_without_terminal(const std::string& input, const std::string& runtime_dir) {
    Unattended result;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);

    std::vector<std::string> env_strings{"XDG_RUNTIME_DIR=" + runtime_dir};
    for (char** e = environ; e && *e; ++e)
        if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0)
            env_strings.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string program = kProgram;
    char* argv[] = {program.data(), nullptr};

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, kProgram.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn failed: " << rc;
        ::close(in[1]);
        ::close(out[0]);
        return result;
    }
    // Small inputs fit the pipe; closing it is the end of input.
    if (!input.empty() &&
        ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "writing the input failed";
    ::close(in[1]);

    const auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    result.status = sgtest::wait_for_exit(pid, kBound);
    return result;
}

class WithoutTerminal : public ::testing::TestWithParam<std::string> {};

TEST_P(WithoutTerminal, RunsToItsEndAndExitsZero) {
    sgtest::TempDir runtime;
    const Unattended run = run_without_terminal(GetParam(), runtime.path());
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
