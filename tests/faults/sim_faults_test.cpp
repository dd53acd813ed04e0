// Fault rows against the built sgdemo and sgsim, in a pseudo-terminal: the
// generator answers late, vanishes mid-message or mid-pause and comes back;
// the lock holder is killed; signals during I/O and at each wait; the
// simulator's bus directory missing, foreign, open to others or stale.
// Each row checks the transcript, the exit status, the time the run took and
// what reached the generator.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "expected_dialogue.h"
#include "inotify_watchers.h"
#include "pty_session.h"
#include "sim_child.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgfault {
namespace {

using namespace std::chrono_literals;
using namespace sgtest::dialogue;
using sgtest::PtySession;
using Clock = std::chrono::steady_clock;

const std::string kProgram = SG_BIN_DIR "/sgdemo";
constexpr auto kBound = 20s;  // generous: the machine is shared with other builds

const std::string kFailed = "Enter serial number: SIM001\r\nConnection error!\r\n";

const std::string kFullRun =
    kConnect + rf_phase(kIdn + "\r\n", kNoError + "\r\n") + kPause + kLfPhase + kExit;

class SimFault : public ::testing::Test {
  protected:
    void SetUp() override { runtime_ = tmp_.make_subdir("run"); }

    std::unique_ptr<SimChild> start_sim(const std::vector<std::string>& extra = {}) {
        log_ = tmp_.path() + "/received-" + std::to_string(++sims_) + ".log";
        auto sim = std::make_unique<SimChild>(runtime_, log_, extra);
        EXPECT_TRUE(sim->ready()) << "sgsim did not start";
        return sim;
    }
    std::vector<std::string> received() const { return read_log(log_); }

    std::unique_ptr<PtySession> start_demo(const std::string& runtime_dir = "") {
        sgtest::PtyOptions options;
        options.env = {{"XDG_RUNTIME_DIR", runtime_dir.empty() ? runtime_ : runtime_dir}};
        auto s = std::make_unique<PtySession>(kProgram, options);
        EXPECT_TRUE(s->started()) << s->error();
        EXPECT_TRUE(s->wait_for("Enter serial number: ", kBound)) << s->output();
        return s;
    }

    // Waits (bounded) until the generator has received `n` messages.
    bool wait_received(std::size_t n) { return wait_for_log_lines(log_, n, kBound); }

    // Presses the two keys of a connected run; returns the exit status.
    int finish(PtySession& s) {
        EXPECT_TRUE(s.wait_for(kPause, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound));
        EXPECT_TRUE(s.send("k"));
        EXPECT_TRUE(s.wait_for(kExit, kBound)) << s.output();
        EXPECT_TRUE(s.wait_for_flow_control(false, kBound));
        EXPECT_TRUE(s.send("k"));
        return s.wait_exit(kBound);
    }

    // A whole run that must succeed: the generator is (again) usable.
    void expect_full_run() {
        const auto before = received().size();
        auto s = start_demo();
        ASSERT_TRUE(s->send("SIM001\r"));
        EXPECT_EQ(finish(*s), 0);
        EXPECT_EQ(s->output(), kFullRun);
        auto now = received();
        now.erase(now.begin(), now.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(now, kAllCommands);
    }

    // A failed open: one key, exit 0, within `bound`.
    void expect_failed_open(const std::string& runtime_dir, std::chrono::milliseconds bound) {
        auto s = start_demo(runtime_dir);
        const auto t0 = Clock::now();
        ASSERT_TRUE(s->send("SIM001\r"));
        ASSERT_TRUE(s->wait_for("Connection error!\r\n" + kExit, kBound)) << s->output();
        EXPECT_LT(Clock::now() - t0, bound);
        ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
        ASSERT_TRUE(s->send("k"));
        EXPECT_EQ(s->wait_exit(kBound), 0);
        EXPECT_EQ(s->output(), kFailed + kExit);
    }

    // viOpen's status in this process, as the program would open the
    // generator with XDG_RUNTIME_DIR=`runtime_dir`.
    static ViStatus open_status(const std::string& runtime_dir) {
        const char* old = ::getenv("XDG_RUNTIME_DIR");
        const std::string saved = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
        ViSession rm = VI_NULL, vi = VI_NULL;
        ViStatus st = viOpenDefaultRM(&rm);
        if (st == VI_SUCCESS) {
            st = viOpen(rm, "USB0::0x4d19::0x0040::SIM001::0::INSTR", VI_EXCLUSIVE_LOCK, 5000, &vi);
            if (st == VI_SUCCESS)
                viClose(vi);
            viClose(rm);
        }
        if (old)
            ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        return st;
    }

    static void expect_terminal_restored(const PtySession& s) {
        const termios after = s.settings();
        EXPECT_TRUE(sgtest::same_terminal_settings(s.settings_at_start(), after))
            << sgtest::describe_settings_difference(s.settings_at_start(), after);
    }

    sgtest::TempDir tmp_;
    std::string runtime_;
    std::string log_;
    int sims_ = 0;
};

// ---- The generator answers late ----

TEST_F(SimFault, LateAnswerWithinTheTimeoutIsShown) {
    auto sim = start_sim({"--reply-delay", "1200"});
    auto s = start_demo();
    const auto t0 = Clock::now();
    ASSERT_TRUE(s->send("SIM001\r"));
    EXPECT_EQ(finish(*s), 0);
    EXPECT_GE(Clock::now() - t0, 2400ms) << "both replies waited for";
    EXPECT_EQ(s->output(), kFullRun);
}

TEST_F(SimFault, AnswerLaterThanTheTimeoutIsDroppedNotShownLater) {
    auto sim = start_sim({"--reply-delay", "3000"});
    auto s = start_demo();
    const auto t0 = Clock::now();
    ASSERT_TRUE(s->send("SIM001\r"));
    EXPECT_EQ(finish(*s), 0);
    // Two queries, each ended by the 2 s timeout; no longer than that plus
    // recovery and the key presses.
    EXPECT_GE(Clock::now() - t0, 3900ms);
    EXPECT_LT(Clock::now() - t0, 15s);
    EXPECT_EQ(s->output(), kConnect + rf_phase("", "") + kPause + kLfPhase + kExit)
        << "the late identification must not turn up as the error query's reply";
    EXPECT_EQ(received(), kAllCommands);
}

// ---- The generator disappears and comes back ----

TEST_F(SimFault, GoneMidMessageThenBack) {
    auto sim = start_sim({"--reply-delay", "4000"});
    auto s = start_demo();
    const auto t0 = Clock::now();
    ASSERT_TRUE(s->send("SIM001\r"));
    ASSERT_TRUE(wait_received(2));  // the identification query is pending
    ASSERT_EQ(sim->kill_and_wait(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(finish(*s), 0);
    EXPECT_LT(Clock::now() - t0, 15s) << "the lost connection ends the wait";
    EXPECT_EQ(s->output(), kConnect + rf_phase("", "") + kPause + kLfPhase + kExit);
    expect_terminal_restored(*s);

    // It comes back on the same bus directory (over its stale socket).
    sim = start_sim();
    expect_full_run();
}

TEST_F(SimFault, GoneMidPauseThenBack) {
    auto sim = start_sim();
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM001\r"));
    ASSERT_TRUE(s->wait_for(kPause, kBound)) << s->output();
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_EQ(sim->kill_and_wait(SIGKILL), 128 + SIGKILL);
    const auto t0 = Clock::now();
    ASSERT_TRUE(s->send("k"));
    ASSERT_TRUE(s->wait_for(kExit, kBound)) << s->output();
    EXPECT_LT(Clock::now() - t0, 5s) << "commands to a vanished generator fail at once";
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_TRUE(s->send("k"));
    EXPECT_EQ(s->wait_exit(kBound), 0);
    EXPECT_EQ(s->output(), kFullRun);
    EXPECT_EQ(received(), kRfCommands);

    sim = start_sim();
    expect_full_run();
}

// ---- The lock holder is killed with SIGKILL ----

TEST_F(SimFault, HolderKilledAtThePauseFreesTheGenerator) {
    auto sim = start_sim();
    auto holder = start_demo();
    ASSERT_TRUE(holder->send("SIM001\r"));
    ASSERT_TRUE(holder->wait_for(kPause, kBound));
    ASSERT_TRUE(holder->wait_for_flow_control(false, kBound));
    ASSERT_EQ(::kill(holder->pid(), SIGKILL), 0);
    EXPECT_EQ(holder->wait_exit(kBound), 128 + SIGKILL);
    const auto t0 = Clock::now();
    expect_full_run();
    EXPECT_LT(Clock::now() - t0, 15s);
}

TEST_F(SimFault, HolderKilledDuringAQueryFreesTheGenerator) {
    auto sim = start_sim({"--reply-delay", "1000"});
    auto holder = start_demo();
    ASSERT_TRUE(holder->send("SIM001\r"));
    ASSERT_TRUE(wait_received(2));
    ASSERT_EQ(::kill(holder->pid(), SIGKILL), 0);
    EXPECT_EQ(holder->wait_exit(kBound), 128 + SIGKILL);
    expect_full_run();
}

TEST_F(SimFault, WaiterKilledLeavesTheHolderUndisturbed) {
    auto sim = start_sim();
    auto holder = start_demo();
    ASSERT_TRUE(holder->send("SIM001\r"));
    ASSERT_TRUE(holder->wait_for(kPause, kBound));
    ASSERT_TRUE(holder->wait_for_flow_control(false, kBound));
    auto waiter = start_demo();
    ASSERT_TRUE(waiter->send("SIM001\r"));
    ASSERT_TRUE(waiter->wait_for("SIM001\r\n", kBound));
    ASSERT_EQ(::kill(waiter->pid(), SIGKILL), 0);
    EXPECT_EQ(waiter->wait_exit(kBound), 128 + SIGKILL);
    ASSERT_TRUE(holder->send("k"));
    ASSERT_TRUE(holder->wait_for(kExit, kBound));
    ASSERT_TRUE(holder->wait_for_flow_control(false, kBound));
    ASSERT_TRUE(holder->send("k"));
    EXPECT_EQ(holder->wait_exit(kBound), 0);
    EXPECT_EQ(holder->output(), kFullRun);
    EXPECT_EQ(received(), kAllCommands) << "the waiter sent nothing";
    expect_full_run();
}

// ---- SIGTERM and SIGHUP at each wait and during I/O ----

class SignalAt : public SimFault, public ::testing::WithParamInterface<int> {};

TEST_P(SignalAt, TheSerialNumberPrompt) {
    auto sim = start_sim();
    auto s = start_demo();
    ASSERT_EQ(::kill(s->pid(), GetParam()), 0);
    EXPECT_EQ(s->wait_exit(kBound), 128 + GetParam());
    expect_terminal_restored(*s);
    EXPECT_TRUE(received().empty());
}

TEST_P(SignalAt, AQueryInProgress) {
    // Late enough to signal during the wait, soon enough for the next run.
    auto sim = start_sim({"--reply-delay", "1000"});
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM001\r"));
    ASSERT_TRUE(wait_received(2));
    ASSERT_EQ(::kill(s->pid(), GetParam()), 0);
    EXPECT_EQ(s->wait_exit(kBound), 128 + GetParam());
    expect_terminal_restored(*s);
    expect_full_run();  // the lock went with the process
}

TEST_P(SignalAt, ThePause) {
    auto sim = start_sim();
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM001\r"));
    ASSERT_TRUE(s->wait_for(kPause, kBound));
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_EQ(::kill(s->pid(), GetParam()), 0);
    EXPECT_EQ(s->wait_exit(kBound), 128 + GetParam());
    expect_terminal_restored(*s);
    std::vector<std::string> sent = kRfCommands;
    sent.push_back("*RST");  // the final reset: the RF output goes off
    EXPECT_EQ(received(), sent);
}

TEST_P(SignalAt, TheExitPrompt) {
    auto sim = start_sim();
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM001\r"));
    ASSERT_TRUE(s->wait_for(kPause, kBound));
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_TRUE(s->send("k"));
    ASSERT_TRUE(s->wait_for(kExit, kBound));
    ASSERT_TRUE(s->wait_for_flow_control(false, kBound));
    ASSERT_EQ(::kill(s->pid(), GetParam()), 0);
    EXPECT_EQ(s->wait_exit(kBound), 128 + GetParam());
    expect_terminal_restored(*s);
    EXPECT_EQ(received(), kAllCommands);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAt, ::testing::Values(SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return std::string(p.param == SIGTERM ? "SIGTERM" : "SIGHUP");
                         });

// ---- A signal in the middle of the dialogue leaves the RF output off ----

// The simulator's answer to `query`, asked by this process on the bus.
std::string ask_sim(const std::string& runtime_dir, const char* query) {
    ::setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    ViSession rm = VI_NULL, vi = VI_NULL;
    char reply[64] = "";
    if (viOpenDefaultRM(&rm) != VI_SUCCESS)
        return "no resource manager";
    if (viOpen(rm, "USB0::0x4d19::0x0040::SIM001::0::INSTR", VI_NULL, 5000, &vi) == VI_SUCCESS &&
        viSetAttribute(vi, VI_ATTR_TMO_VALUE, 5000) == VI_SUCCESS)
        viQueryf(vi, query, "%63s", reply);
    viClose(rm);
    return reply;
}

enum class Phase { kOpen, kQuery };
struct StopRow {
    const char* name;
    Phase phase;
    int signal;
};

class SignalStops : public SimFault, public ::testing::WithParamInterface<StopRow> {};

TEST_P(SignalStops, EndsTheOperationResetsTheGeneratorAndExits) {
    const StopRow& row = GetParam();
    auto sim = start_sim({"--reply-delay", "1000"});
    ViSession rm = VI_NULL, holder = VI_NULL;
    if (row.phase == Phase::kOpen) {
        // This process holds the lock: the program's open waits for it.
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
        ASSERT_EQ(
            viOpen(rm, "USB0::0x4d19::0x0040::SIM001::0::INSTR", VI_EXCLUSIVE_LOCK, 5000, &holder),
            VI_SUCCESS);
    }
    auto s = start_demo();
    ASSERT_TRUE(s->send("SIM001\r"));
    if (row.phase == Phase::kOpen)
        ASSERT_TRUE(
            sgtest::wait_for_lock_waiters(sgtest::lock_file_of(0x4d19, 0x40, "SIM001"), 1, kBound))
            << s->output();
    else
        ASSERT_TRUE(wait_received(6));  // the RF output is on, the error query pending
    const auto t0 = Clock::now();
    ASSERT_EQ(::kill(s->pid(), row.signal), 0);
    EXPECT_EQ(s->wait_exit(kBound), 128 + row.signal);
    EXPECT_LT(Clock::now() - t0, 4s) << "the pending operation was not ended";
    expect_terminal_restored(*s);
    viClose(rm);
    std::vector<std::string> sent;
    if (row.phase == Phase::kQuery) {
        sent = kRfCommands;
        sent.push_back("*RST");
    }
    EXPECT_EQ(received(), sent);
    EXPECT_EQ(ask_sim(runtime_, "OUTP?\n"), "0");
}

INSTANTIATE_TEST_SUITE_P(Phases, SignalStops,
                         ::testing::Values(StopRow{"OpenSIGTERM", Phase::kOpen, SIGTERM},
                                           StopRow{"QuerySIGTERM", Phase::kQuery, SIGTERM},
                                           StopRow{"QuerySIGINT", Phase::kQuery, SIGINT}),
                         [](const ::testing::TestParamInfo<StopRow>& p) {
                             return std::string(p.param.name);
                         });

// ---- The simulator's bus directory ----

TEST_F(SimFault, BusDirectoryMissing) {
    EXPECT_EQ(open_status(tmp_.path() + "/no-such-dir"), VI_ERROR_SYSTEM_ERROR);
    expect_failed_open(tmp_.path() + "/no-such-dir", 5s);
}

TEST_F(SimFault, BusDirectoryOpenToOthers) {
    auto sim = start_sim();
    const std::string bus = runtime_ + "/sgvisa";
    ASSERT_EQ(::chmod(bus.c_str(), 0777), 0);
    EXPECT_EQ(open_status(runtime_), VI_ERROR_NPERMISSION);
    expect_failed_open(runtime_, 5s);
    EXPECT_TRUE(received().empty());
    ASSERT_EQ(::chmod(bus.c_str(), 0700), 0);
}

TEST_F(SimFault, BusDirectoryNotTheUsers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the directory to another user";
    auto sim = start_sim();
    const std::string bus = runtime_ + "/sgvisa";
    ASSERT_EQ(::chown(bus.c_str(), 65534, 65534), 0);
    EXPECT_EQ(open_status(runtime_), VI_ERROR_NPERMISSION);
    expect_failed_open(runtime_, 5s);
    EXPECT_TRUE(received().empty());
    ASSERT_EQ(::chown(bus.c_str(), 0, 0), 0);
}

TEST_F(SimFault, BusDirectoryHoldsAStaleSocket) {
    auto sim = start_sim();
    ASSERT_EQ(sim->kill_and_wait(SIGKILL), 128 + SIGKILL);  // leaves its socket behind
    EXPECT_EQ(open_status(runtime_), VI_ERROR_RSRC_NFOUND);
    expect_failed_open(runtime_, 5s);
}

}  // namespace
}  // namespace sgfault
