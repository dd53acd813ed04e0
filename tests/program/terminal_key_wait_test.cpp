// The terminal key wait on a pseudo-terminal owned by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "child_process.h"
#include "key_wait.h"
#include "pseudo_terminal.h"

namespace {

using namespace std::chrono_literals;
using sgtest::PseudoTerminal;
using sgtest::same_terminal_settings;

// Generous: the machine is shared with other builds.
constexpr auto kBound = 10s;

// One key wait running on its own thread. Should the wait not end, the
// terminal is hung up so that the thread can be joined.
class WaitInBackground {
  public:
    WaitInBackground(PseudoTerminal& pty, const std::string& tty)
        : pty_(pty),
          keys_(tty),
          done_(std::async(std::launch::async, [this] { keys_.wait_for_key(); })) {}
    explicit WaitInBackground(PseudoTerminal& pty) : WaitInBackground(pty, pty.slave_path()) {}
    ~WaitInBackground() {
        if (!finished_within(0ms))
            pty_.hang_up();
    }
    WaitInBackground(const WaitInBackground&) = delete;
    WaitInBackground& operator=(const WaitInBackground&) = delete;

    bool finished_within(std::chrono::milliseconds bound) {
        return done_.wait_for(bound) == std::future_status::ready;
    }

  private:
    PseudoTerminal& pty_;
    TerminalKeyWait keys_;
    std::future<void> done_;
};

// Waits at most `bound` for the forked `pid` to end, then kills it. Returns its wait status.
int reap_within(pid_t pid, std::chrono::milliseconds bound) {
    sgtest::ChildProcess child(pid);
    child.wait(bound);
    return child.wait_status();
}

class TerminalKeyWaitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok()) << "no pseudo-terminal";
        before_ = pty_.settings();
    }

    // Starts a wait, checks it is in key mode, types `key` and checks that the
    // wait ended and the terminal is as it was.
    void press_during_wait(const std::string& key) {
        WaitInBackground wait(pty_);
        ASSERT_TRUE(pty_.wait_for_flow_control(false, kBound)) << "the wait did not begin";
        const termios during = pty_.settings();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(during.c_iflag & IXON, 0u);
        EXPECT_EQ(during.c_cc[VMIN], 1);
        EXPECT_EQ(during.c_cc[VTIME], 0);
        ASSERT_TRUE(pty_.send(key));
        ASSERT_TRUE(wait.finished_within(kBound)) << "the key did not end the wait";
        EXPECT_TRUE(same_terminal_settings(pty_.settings(), before_));
    }

    PseudoTerminal pty_;
    termios before_{};
};

TEST(TerminalKeyWaitWithoutTerminal, ReturnsAtOnce) {
    PseudoTerminal unused;
    WaitInBackground wait(unused, "/nonexistent/tty");
    EXPECT_TRUE(wait.finished_within(kBound));
}

TEST(TerminalKeyWaitWithoutTerminal, ANonTerminalFileIsNoKeyboard) {
    PseudoTerminal unused;
    WaitInBackground wait(unused, "/dev/null");
    EXPECT_TRUE(wait.finished_within(kBound));
}

TEST_F(TerminalKeyWaitTest, OneKeyEndsTheWaitAndTheSettingsComeBack) {
    press_during_wait("k");
    EXPECT_EQ(pty_.pending_input(), 0);
}

TEST_F(TerminalKeyWaitTest, SignalAndFlowControlCharactersAreKeys) {
    for (const char* key : {"\x03", "\x1a", "\x1c", "\x13", "\x11", "\r", "\x04"}) {
        SCOPED_TRACE(static_cast<int>(key[0]));
        press_during_wait(key);
        EXPECT_EQ(pty_.pending_input(), 0);
    }
}

TEST_F(TerminalKeyWaitTest, AKeyPressedBeforeTheWaitCounts) {
    ASSERT_TRUE(pty_.send("k"));
    WaitInBackground wait(pty_);
    EXPECT_TRUE(wait.finished_within(kBound));
    EXPECT_EQ(pty_.pending_input(), 0);
    EXPECT_TRUE(same_terminal_settings(pty_.settings(), before_));
}

// Each key is typed ahead with a plain key behind it: the first wait must
// take exactly the bytes of the first key, leaving the plain one for the next.
class MultiByteKey : public TerminalKeyWaitTest,
                     public ::testing::WithParamInterface<std::string> {};

TEST_P(MultiByteKey, CountsOnce) {
    ASSERT_TRUE(pty_.send(GetParam() + "z"));
    {
        WaitInBackground first(pty_);
        ASSERT_TRUE(first.finished_within(kBound));
    }
    EXPECT_EQ(pty_.pending_input(), 1) << "the plain key is left for the next wait";
    {
        WaitInBackground second(pty_);
        ASSERT_TRUE(second.finished_within(kBound));
    }
    EXPECT_EQ(pty_.pending_input(), 0);
    EXPECT_TRUE(same_terminal_settings(pty_.settings(), before_));
}

INSTANTIATE_TEST_SUITE_P(Keys, MultiByteKey,
                         ::testing::Values("\x1b[A",          // up arrow
                                           "\x1bOP",          // F1 (application mode)
                                           "\x1b[15~",        // F5
                                           "\x1b[[A",         // F1 on the Linux console
                                           "\x1b[1;5C",       // Ctrl+right arrow
                                           "\x1bx",           // Alt+x
                                           "\xc3\xa9",        // e acute in UTF-8
                                           "\xd0\xaf",        // Cyrillic Ya
                                           "\xe2\x82\xac"));  // euro sign

TEST_F(TerminalKeyWaitTest, EscapeAloneIsOneKey) {
    press_during_wait("\x1b");
    EXPECT_EQ(pty_.pending_input(), 0);
}

TEST_F(TerminalKeyWaitTest, AnArrowKeyDuringTheWaitCountsOnce) {
    press_during_wait("\x1b[B");
    EXPECT_EQ(pty_.pending_input(), 0);
}

TEST_F(TerminalKeyWaitTest, HangUpEndsTheWait) {
    WaitInBackground wait(pty_);
    ASSERT_TRUE(pty_.wait_for_flow_control(false, kBound));
    pty_.hang_up();
    EXPECT_TRUE(wait.finished_within(kBound));
}

TEST_F(TerminalKeyWaitTest, SettingsOtherThanDefaultsComeBackUnchanged) {
    termios custom = before_;
    custom.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    custom.c_cc[VINTR] = 0x7f;
    custom.c_cc[VTIME] = 3;
    ASSERT_TRUE(pty_.set_settings(custom));
    before_ = pty_.settings();
    press_during_wait("q");
}

// A terminating signal during the wait restores the terminal, then ends the
// process by the signal's default action.
class TerminatedDuringWait : public TerminalKeyWaitTest,
                             public ::testing::WithParamInterface<int> {};

TEST_P(TerminatedDuringWait, RestoresTheTerminal) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TerminalKeyWait keys(pty_.slave_path());
        keys.wait_for_key();
        ::_exit(42);  // a key was not expected: the signal should have ended us
    }
    const bool began = pty_.wait_for_flow_control(false, kBound);
    ::kill(child, GetParam());
    const int status = reap_within(child, kBound);
    ASSERT_TRUE(began) << "the wait did not begin";
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), GetParam());
    EXPECT_TRUE(same_terminal_settings(pty_.settings(), before_));
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminatedDuringWait, ::testing::Values(SIGTERM, SIGHUP));

TEST_F(TerminalKeyWaitTest, AnIgnoredHangUpSignalStaysIgnored) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGHUP, SIG_IGN);  // as under nohup
        TerminalKeyWait keys(pty_.slave_path());
        keys.wait_for_key();
        ::_exit(42);
    }
    const bool began = pty_.wait_for_flow_control(false, kBound);
    ::kill(child, SIGHUP);
    const bool typed = pty_.send("k");
    const int status = reap_within(child, kBound);
    ASSERT_TRUE(began) << "the wait did not begin";
    ASSERT_TRUE(typed);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 42) << "the key, not the signal, ended the wait";
    EXPECT_TRUE(same_terminal_settings(pty_.settings(), before_));
}

TEST_F(TerminalKeyWaitTest, PreviousSignalHandlersComeBack) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_term {
    }, old_hup{};
    ASSERT_EQ(::sigaction(SIGTERM, &ignore, &old_term), 0);
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &old_hup), 0);
    press_during_wait("k");
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::sigaction(SIGTERM, &old_term, nullptr);
    ::sigaction(SIGHUP, &old_hup, nullptr);
}

}  // namespace
