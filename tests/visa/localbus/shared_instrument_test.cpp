// One simulated instrument shared between processes, as VISA shares a
// resource: sessions without a lock in several processes all work; a lock,
// not the USB claim, decides who may talk; and no wait outlasts its timeout.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "child_process.h"
#include "lock/lock_file.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kName[] = "USB0::0x4d19::0x0040::SHARE1::INSTR";

class SharedInstrument : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        sim_ = std::make_unique<SimProcess>(runtime_, "SHARE1");
        ASSERT_TRUE(sim_->ready());
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
    }
    void TearDown() override { viClose(rm_); }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
    ViSession rm_ = VI_NULL;
};

// A child that opens the instrument without a lock and makes `queries`
// *IDN? queries; its exit status counts the wrong or failed ones (0: all
// right). With `stop_when_locked` it stops at the first VI_ERROR_RSRC_LOCKED
// and exits 100 (the queries before it must have worked). After its fifth
// good query it writes a byte to `working_fd` (if not -1).
pid_t start_querier(int queries, bool stop_when_locked = false, int working_fd = -1) {
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    viOpenDefaultRM(&rm);
    if (viOpen(rm, kName, VI_NULL, 2000, &vi) != VI_SUCCESS)
        ::_exit(99);
    int wrong = 0;
    for (int i = 0; i < queries; ++i) {
        char idn[128] = "";
        const ViStatus st = viQueryf(vi, "*IDN?\n", "%127t", idn);
        if (st == VI_ERROR_RSRC_LOCKED && stop_when_locked)
            ::_exit(wrong == 0 ? 100 : 1);
        if (st != VI_SUCCESS || std::strstr(idn, ",SHARE1,") == nullptr)
            ++wrong;
        if (i == 4 && working_fd >= 0)
            (void)!::write(working_fd, "w", 1);
    }
    ::_exit(std::min(wrong, 98));
}

TEST_F(SharedInstrument, SessionsWithoutALockInTwoProcessesAllWork) {
    const pid_t a = start_querier(150);
    const pid_t b = start_querier(150);
    EXPECT_EQ(wait_for_exit(a, milliseconds(60000)), 0);
    EXPECT_EQ(wait_for_exit(b, milliseconds(60000)), 0);
    EXPECT_EQ(sim_->received().size(), 300u);
}

// Another process's exclusive open is granted at once when the working
// session holds no lock; that session is then locked out until it is
// released. An open that must wait for a held lock gives up at its own
// timeout, not later.
// Whether child `pid` has exited (it is left to be reaped).
bool exited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// The instrument's lock file as another process sees it.
std::unique_ptr<sgvisa::lock::LockFile> other_descriptor() {
    std::unique_ptr<sgvisa::lock::LockFile> file;
    EXPECT_EQ(sgvisa::lock::LockFile::open({0x4d19, 0x0040, "SHARE1"}, file), VI_SUCCESS);
    return file;
}

// A session without a lock keeps the access lock between its operations
// while nobody else wants it, and gives it up to a waiter at once even while
// it does nothing at all (a mere try leaves it be); the VISA lock is still
// checked on every operation.
TEST_F(SharedInstrument, UnlockedSessionKeepsTheAccessLockOnlyUntilSomebodyWaits) {
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi), VI_SUCCESS);
    char idn[128];
    ASSERT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS);
    auto other = other_descriptor();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK)
        << "kept after the query";

    // A try that may not wait (its deadline has passed) tells the session
    // nothing: no waiter is announced, and the lock stays where it is.
    const int writes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(writes, 0);
    ASSERT_GE(::inotify_add_watch(writes, other->path().c_str(), IN_MODIFY), 0);
    alignas(inotify_event) char events[1024];
    sgvisa::CancelToken token;
    EXPECT_EQ(
        sgvisa::lock::lock_waiting(*other, sgvisa::lock::LockFile::access, Clock::now(), token),
        VI_ERROR_TMO);
    EXPECT_LT(::read(writes, events, sizeof events), 0) << "the try wrote to the lock file";
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK);

    // A waiter while the session is idle: it announces itself and gets the
    // lock without the session making another call, long before its bound.
    const auto t0 = Clock::now();
    ASSERT_EQ(sgvisa::lock::lock_waiting(*other, sgvisa::lock::LockFile::access,
                                         sgvisa::deadline_after_ms(5000), token),
              VI_SUCCESS);
    EXPECT_LT(Clock::now() - t0, milliseconds(1000));
    EXPECT_GT(::read(writes, events, sizeof events), 0) << "the waiter announced itself";
    ::close(writes);
    // While another holds it, the session's operation waits its timeout.
    ViUInt32 count = 0;
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
    EXPECT_EQ(viWrite(vi, reinterpret_cast<const ViByte*>("*CLS\n"), 5, &count),
              VI_ERROR_RSRC_BUSY);
    other->unlock(sgvisa::lock::LockFile::access);
    other->wake_waiters();
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);
    ASSERT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS);
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK)
        << "taken and kept again";

    // Another process's waiter while this process queries on and on: it
    // gets its turn within a query or so, every time.
    const pid_t waiter = ::fork();
    if (waiter == 0) {
        auto file = other_descriptor();
        int late = 0;
        for (int i = 0; i < 5; ++i) {
            const auto start = Clock::now();
            sgvisa::CancelToken turn;
            if (!file ||
                sgvisa::lock::lock_waiting(*file, sgvisa::lock::LockFile::access,
                                           sgvisa::deadline_after_ms(5000), turn) != VI_SUCCESS)
                ::_exit(90 + i);
            late += Clock::now() - start > milliseconds(1000);
            file->unlock(sgvisa::lock::LockFile::access);
            file->wake_waiters();
        }
        ::_exit(late);
    }
    int queries = 0;
    while (!exited(waiter) && queries < 100000) {
        ASSERT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS);
        ++queries;
    }
    EXPECT_EQ(wait_for_exit(waiter, milliseconds(10000)), 0) << "turns that came late";

    // A shared lock another session takes needs no access lock: the kept
    // one does not let this session past it.
    ViSession locker = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &locker), VI_SUCCESS);
    ViChar key[256] = "";
    ASSERT_EQ(viLock(locker, VI_SHARED_LOCK, 2000, VI_NULL, key), VI_SUCCESS);
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viUnlock(locker), VI_SUCCESS);
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS);

    // Closing the last session lets go.
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_EQ(viClose(locker), VI_SUCCESS);
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_UNLCK);
}

// A child holding the instrument in two ways, one after the other: idle
// after a query (keeping the access lock), then with the exclusive lock.
// It tells each stage with a byte on `out` and waits for one on `in`.
pid_t start_keeper(int in, int out) {
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    char idn[128];
    char go = 0;
    pollfd p{in, POLLIN, 0};
    viOpenDefaultRM(&rm);
    if (viOpen(rm, kName, VI_NULL, 2000, &vi) != VI_SUCCESS ||
        viQueryf(vi, "*IDN?\n", "%127t", idn) != VI_SUCCESS)
        ::_exit(1);
    (void)!::write(out, "q", 1);
    if (::poll(&p, 1, 20000) != 1 || ::read(in, &go, 1) != 1)
        ::_exit(2);
    if (viLock(vi, VI_EXCLUSIVE_LOCK, 2000, VI_NULL, VI_NULL) != VI_SUCCESS)
        ::_exit(3);
    (void)!::write(out, "l", 1);
    if (::poll(&p, 1, 20000) != 1 || ::read(in, &go, 1) != 1)
        ::_exit(4);
    ::_exit(0);
}

// An open without a lock is never kept waiting by another process: not by
// the access lock kept between that process's operations, nor by its
// exclusive lock. Only the operations of a locked-out session are refused
// then, at once.
TEST_F(SharedInstrument, OpenWithoutALockNeverWaitsForAnotherProcess) {
    int to_child[2];
    int from_child[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(from_child), 0);
    const pid_t keeper = start_keeper(to_child[0], from_child[1]);
    auto stage = [&] {
        char c = 0;
        pollfd p{from_child[0], POLLIN, 0};
        return ::poll(&p, 1, 10000) == 1 && ::read(from_child[0], &c, 1) == 1 ? c : '?';
    };
    ASSERT_EQ(stage(), 'q');
    ASSERT_EQ(other_descriptor()->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK);

    int slow = 0;
    int failed = 0;
    for (int i = 0; i < 20; ++i) {
        ViSession vi = VI_NULL;
        const auto start = Clock::now();
        failed += viOpen(rm_, kName, VI_NULL, 0, &vi) != VI_SUCCESS;
        slow += Clock::now() - start > milliseconds(100);
        viClose(vi);
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(slow, 0);
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 0, &vi), VI_SUCCESS);
    char idn[128];
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS) << "the idle keeper let go";
    ASSERT_EQ(viClose(vi), VI_SUCCESS);

    ASSERT_EQ(::write(to_child[1], "l", 1), 1);
    ASSERT_EQ(stage(), 'l');
    auto start = Clock::now();
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 0, &vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, milliseconds(100));
    start = Clock::now();
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viPrintf(vi, "*CLS\n"), VI_ERROR_RSRC_LOCKED);
    EXPECT_LT(Clock::now() - start, milliseconds(100));
    ViSession exclusive = VI_NULL;
    EXPECT_EQ(viOpen(rm_, kName, VI_EXCLUSIVE_LOCK, 0, &exclusive), VI_ERROR_RSRC_LOCKED);

    ASSERT_EQ(::write(to_child[1], "x", 1), 1);
    EXPECT_EQ(wait_for_exit(keeper, milliseconds(10000)), 0);
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS) << "free again";
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
        ::close(fd);
}

TEST_F(SharedInstrument, ExclusiveOpenTakesTheLockFromNobodyAndWaitsOnlyItsTimeout) {
    int working[2];
    ASSERT_EQ(::pipe(working), 0);
    const pid_t worker = start_querier(100000, true, working[1]);
    pollfd p{working[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the worker never got going";
    ::close(working[0]);
    ::close(working[1]);
    ViSession vi = VI_NULL;
    auto start = Clock::now();
    ASSERT_EQ(viOpen(rm_, kName, VI_EXCLUSIVE_LOCK, 1500, &vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_EQ(wait_for_exit(worker, milliseconds(10000)), 100) << "locked out, having worked";
    char idn[128];
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS);

    // Held: another process's exclusive open waits 1500 ms and no more.
    const pid_t waiter = ::fork();
    if (waiter == 0) {
        ViSession rm = VI_NULL;
        ViSession other = VI_NULL;
        viOpenDefaultRM(&rm);
        const auto t0 = Clock::now();
        const ViStatus st = viOpen(rm, kName, VI_EXCLUSIVE_LOCK, 1500, &other);
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
        ::_exit(st == VI_ERROR_RSRC_LOCKED && ms >= 1500 && ms < 1900 ? 0 : 1);
    }
    EXPECT_EQ(wait_for_exit(waiter, milliseconds(10000)), 0);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    const pid_t after = start_querier(3);
    EXPECT_EQ(wait_for_exit(after, milliseconds(10000)), 0);
}

// A simulator that accepts but never answers (stopped) costs an open of
// another instrument nothing, and an open of itself no more than its timeout
// or the second any connection is given.
TEST_F(SharedInstrument, StoppedSimulatorOnTheBusDelaysNothingElse) {
    const std::string path = runtime_ + "/sgvisa/4d19-0040-STOPPED.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);  // trusted like a simulator's own

    ViSession vi = VI_NULL;
    auto start = Clock::now();
    EXPECT_EQ(viOpen(rm_, "USB0::0x4d19::0x0040::ABSENT::INSTR", VI_NULL, 5000, &vi),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_LT(Clock::now() - start, milliseconds(200));
    start = Clock::now();
    EXPECT_EQ(viOpen(rm_, "USB0::0x4d19::0x0040::STOPPED::INSTR", VI_NULL, 300, &vi),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    start = Clock::now();
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    char desc[VI_FIND_BUFLEN];
    ASSERT_EQ(viFindRsrc(rm_, "?*", &list, &count, desc), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(desc, "USB0::0x4D19::0x0040::SHARE1::0::INSTR");
    ::close(listener);
}

// A simulator that the machine's load keeps from running for a while (here
// stopped for 700 ms) is still there: an open with timeout 0, as PyVISA
// opens, waits for its HELLO within the time any connection is given and
// finds it, instead of saying it does not exist.
TEST_F(SharedInstrument, OpenWaitsForASimulatorSlowToAnswer) {
    ASSERT_EQ(::kill(sim_->pid(), SIGSTOP), 0);
    std::thread resume([pid = sim_->pid()] {
        std::this_thread::sleep_for(milliseconds(700));  // the stall being simulated
        ::kill(pid, SIGCONT);
    });
    ViSession vi = VI_NULL;
    const ViStatus st = viOpen(rm_, kName, VI_NULL, 0, &vi);
    resume.join();
    ASSERT_EQ(st, VI_SUCCESS);
    char idn[128] = "";
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%127t", idn), VI_SUCCESS);
    EXPECT_NE(std::strstr(idn, ",SHARE1,"), nullptr) << idn;
}

// Another process listening for service requests while this one reads the
// status byte: the notification that answers each READ_STATUS_BYTE reaches
// this process (only the process that holds the instrument reads its
// interrupt-IN endpoint), and the listener still hears a request for
// service made while it holds the instrument.
TEST_F(SharedInstrument, StatusBytesReachTheirProcessWhileAnotherListens) {
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    const pid_t listener = ::fork();
    if (listener == 0) {
        ::close(stop[1]);
        ViSession rm = VI_NULL;
        ViSession vi = VI_NULL;
        viOpenDefaultRM(&rm);
        if (viOpen(rm, kName, VI_NULL, 2000, &vi) != VI_SUCCESS ||
            viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL) != VI_SUCCESS)
            ::_exit(99);
        pollfd p{stop[0], POLLIN, 0};
        while (::poll(&p, 1, 0) == 0) {
            ViEventType type = 0;
            viWaitOnEvent(vi, VI_EVENT_SERVICE_REQ, 20, &type, VI_NULL);
        }
        // With the instrument held, a request for service is heard.
        if (viLock(vi, VI_EXCLUSIVE_LOCK, 5000, VI_NULL, VI_NULL) != VI_SUCCESS ||
            viDiscardEvents(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE) < 0 ||
            viPrintf(vi, "*CLS;*ESE 1;*SRE 32;*OPC\n") != VI_SUCCESS)
            ::_exit(98);
        ViEventType type = 0;
        ::_exit(viWaitOnEvent(vi, VI_EVENT_SERVICE_REQ, 2000, &type, VI_NULL) == VI_SUCCESS ? 0
                                                                                            : 1);
    }
    ::close(stop[0]);
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);
    int timeouts = 0;
    int failures = 0;
    const auto until = Clock::now() + milliseconds(3000);
    int calls = 0;
    for (; Clock::now() < until && timeouts < 3; ++calls) {
        ViUInt16 stb = 0;
        const ViStatus st = viReadSTB(vi, &stb);
        timeouts += st == VI_ERROR_TMO;
        failures += st != VI_SUCCESS && st != VI_ERROR_TMO;
    }
    ::close(stop[1]);
    ASSERT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_EQ(timeouts, 0) << "of " << calls << " viReadSTB";
    EXPECT_EQ(failures, 0) << "of " << calls << " viReadSTB";
    EXPECT_EQ(wait_for_exit(listener, milliseconds(10000)), 0);
}

}  // namespace
}  // namespace sgtest
