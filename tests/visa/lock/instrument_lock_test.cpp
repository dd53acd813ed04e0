// The exclusive lock between processes and between sessions of one process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "inotify_watchers.h"
#include "lock/lock_file.h"
#include "proto/bus_directory.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kBoundMs = 10000;  // for waits on the other process that should end soon
constexpr double kHandOverBoundMs = 250.0;

std::int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t to_ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Reads exactly sizeof(T) bytes from `fd`, waiting at most `bound_ms`.
template <typename T>
bool read_value(int fd, T& value, int bound_ms = kBoundMs) {
    auto* p = reinterpret_cast<char*>(&value);
    std::size_t got = 0;
    const auto deadline = Clock::now() + milliseconds(bound_ms);
    while (got < sizeof(T)) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        const int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        const ssize_t n = read(fd, p + got, sizeof(T) - got);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

template <typename T>
void write_value(int fd, const T& value) {
    const ssize_t n = write(fd, &value, sizeof(T));
    (void)n;
}

// A child process that opens the instrument exclusively and holds it until
// told to close (or until this process's end of the pipe closes).
class Holder {
  public:
    explicit Holder(const std::string& resource) {
        int to_child[2];
        int from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(to_child[1]);
            close(from_child[0]);
            run_child(resource, to_child[0], from_child[1]);
        }
        close(to_child[0]);
        close(from_child[1]);
        to_child_ = to_child[1];
        from_child_ = from_child[0];
    }
    ~Holder() {
        if (to_child_ >= 0)
            close(to_child_);
        if (from_child_ >= 0)
            close(from_child_);
        if (pid_ > 0)
            wait_for_exit(pid_, milliseconds(kBoundMs));
    }

    // The child's viOpen status, once it has the instrument (or failed).
    ViStatus open_status() {
        ViStatus st = VI_ERROR_SYSTEM_ERROR;
        if (!read_value(from_child_, st))
            ADD_FAILURE() << "holder did not report";
        return st;
    }

    // Tells the child to close its session; returns when it did, with the
    // monotonic time at which its viClose returned.
    std::int64_t release() {
        write_value(to_child_, char{'c'});
        std::int64_t closed_at = 0;
        if (!read_value(from_child_, closed_at))
            ADD_FAILURE() << "holder did not close";
        return closed_at;
    }

    pid_t pid() const { return pid_; }

  private:
    [[noreturn]] static void run_child(const std::string& resource, int in, int out) {
        ViSession rm = VI_NULL;
        ViSession vi = VI_NULL;
        viOpenDefaultRM(&rm);
        const ViStatus st = viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 0, &vi);
        write_value(out, st);
        char c = 0;
        pollfd pfd{in, POLLIN, 0};
        poll(&pfd, 1, 60000);  // bounded: the parent's test ends long before
        const ssize_t n = read(in, &c, 1);
        (void)n;
        viClose(vi);
        write_value(out, monotonic_ns());
        viClose(rm);
        _exit(0);
    }

    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
};

// Tells when an open has started to wait for the lock of the fixture's
// instrument (it is then registered on the lock file).
class WaitSignal {
  public:
    bool wait() { return wait_for_lock_waiters(lock_file_of(kVendor, kProduct, "SN1234"), 1); }
};

double thread_cpu_ms() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

bool write_file(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The exit status of a child that could not take away its own inotify instances.
constexpr int kNoInotifyLimit = 77;

// Forks a child that runs `body` (its exit status) in a user namespace of its
// own that allows no inotify instance, as on a desktop whose per-user limit
// is used up (the limit counts per user namespace, so the user's other
// programs keep theirs).
template <typename Body>
pid_t fork_without_inotify(Body body) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (unshare(CLONE_NEWUSER) != 0 ||
        !write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1") ||
        !write_file("/proc/sys/user/max_inotify_instances", "0"))
        _exit(kNoInotifyLimit);
    const int probe = inotify_init1(IN_CLOEXEC);
    if (probe >= 0)
        _exit(kNoInotifyLimit);
    _exit(body());
}

using InstrumentLockTest = VisaTest;

TEST_F(InstrumentLockTest, OpenTimesOutWhileAnotherProcessHoldsItHavingSentNothing) {
    Holder holder(instrument().resource_name());
    ASSERT_EQ(holder.open_status(), VI_SUCCESS);

    ViSession vi = 99;
    const auto start = Clock::now();
    const ViStatus st =
        viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 1500, &vi);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(st, VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    EXPECT_GE(elapsed, milliseconds(1500));
    EXPECT_LT(elapsed, milliseconds(2300));
    // The connection made before the wait went with the open, having sent nothing.
    EXPECT_TRUE(instrument().writes().empty());
    EXPECT_EQ(instrument().open_transports(), 0);
}

TEST_F(InstrumentLockTest, WaitingBurnsAlmostNoCpu) {
    Holder holder(instrument().resource_name());
    ASSERT_EQ(holder.open_status(), VI_SUCCESS);
    ViSession vi = VI_NULL;
    const double cpu_before = thread_cpu_ms();
    const ViStatus st =
        viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 1000, &vi);
    const double cpu_used = thread_cpu_ms() - cpu_before;
    EXPECT_EQ(st, VI_ERROR_RSRC_LOCKED);
    EXPECT_LT(cpu_used, 50.0);
}

TEST_F(InstrumentLockTest, HandOverWithinMillisecondsOfTheHolderClosing) {
    Holder holder(instrument().resource_name());
    ASSERT_EQ(holder.open_status(), VI_SUCCESS);
    WaitSignal waiting;

    ViSession vi = VI_NULL;
    std::int64_t returned_at = 0;
    auto opener = std::async(std::launch::async, [&] {
        const ViStatus st =
            viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 5000, &vi);
        returned_at = to_ns(Clock::now());
        return st;
    });
    ASSERT_TRUE(waiting.wait()) << "the open did not start waiting";
    // Connected before the wait, so that only the claim follows the
    // hand-over; nothing sent while another process holds the lock.
    EXPECT_EQ(instrument().opens(), 1);
    EXPECT_TRUE(instrument().writes().empty());
    const std::int64_t closed_at = holder.release();
    ASSERT_EQ(opener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(opener.get(), VI_SUCCESS);
    EXPECT_NE(vi, static_cast<ViSession>(VI_NULL));
    const double latency_ms = (returned_at - closed_at) / 1e6;
    // A few ms when the machine is idle; the bound leaves room for a loaded
    // one while still telling a prompt hand-over from a wait to the timeout.
    EXPECT_LT(latency_ms, kHandOverBoundMs);
    EXPECT_EQ(instrument().opens(), 1);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

TEST_F(InstrumentLockTest, KilledHolderLeavesNoStaleLock) {
    Holder holder(instrument().resource_name());
    ASSERT_EQ(holder.open_status(), VI_SUCCESS);
    WaitSignal waiting;

    ViSession vi = VI_NULL;
    std::int64_t returned_at = 0;
    auto opener = std::async(std::launch::async, [&] {
        const ViStatus st =
            viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 5000, &vi);
        returned_at = to_ns(Clock::now());
        return st;
    });
    ASSERT_TRUE(waiting.wait()) << "the open did not start waiting";
    const std::int64_t killed_at = to_ns(Clock::now());
    ASSERT_EQ(kill(holder.pid(), SIGKILL), 0);
    ASSERT_EQ(opener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(opener.get(), VI_SUCCESS);
    const double latency_ms = (returned_at - killed_at) / 1e6;
    EXPECT_LT(latency_ms, kHandOverBoundMs);  // includes the kernel tearing the process down
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

// Without an inotify instance a waiter cannot be told of a release: it looks
// again at short, growing intervals instead of sleeping out its timeout.
TEST_F(InstrumentLockTest, WaiterWithoutInotifySeesTheReleaseWithinMilliseconds) {
    const ViSession holder = open_instrument(VI_EXCLUSIVE_LOCK);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const std::string resource = instrument().resource_name();
    const pid_t child = fork_without_inotify([&] {
        ViSession rm = VI_NULL;
        ViSession vi = VI_NULL;
        viOpenDefaultRM(&rm);
        const ViStatus st = viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 4000, &vi);
        write_value(report[1], st);
        write_value(report[1], monotonic_ns());
        return 0;
    });
    close(report[1]);
    const bool waiting = wait_for_lock_waiters(lock_file_of(kVendor, kProduct, "SN1234"), 1);
    const std::int64_t released_at = monotonic_ns();
    EXPECT_EQ(viClose(holder), VI_SUCCESS);
    ViStatus st = VI_ERROR_SYSTEM_ERROR;
    std::int64_t returned_at = 0;
    const bool reported = read_value(report[0], st) && read_value(report[0], returned_at);
    close(report[0]);
    const int status = wait_for_exit(child, milliseconds(kBoundMs));
    if (status == kNoInotifyLimit)
        GTEST_SKIP() << "no user namespace to take inotify instances away in";
    ASSERT_TRUE(waiting) << "the child never waited";
    ASSERT_TRUE(reported);
    EXPECT_EQ(st, VI_SUCCESS);
    EXPECT_LT((returned_at - released_at) / 1e6, kHandOverBoundMs);
}

TEST_F(InstrumentLockTest, HolderThatExitedWithoutClosingLeavesNoStaleLock) {
    {
        Holder holder(instrument().resource_name());
        ASSERT_EQ(holder.open_status(), VI_SUCCESS);
        ASSERT_EQ(kill(holder.pid(), SIGKILL), 0);
    }  // reaped
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_SUCCESS);
}

TEST_F(InstrumentLockTest, TwoSessionsOfOneProcessExcludeEachOther) {
    const ViSession first = open_instrument(VI_EXCLUSIVE_LOCK);
    ViSession second = 99;
    const auto start = Clock::now();
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 300, &second),
              VI_ERROR_RSRC_LOCKED);
    EXPECT_GE(Clock::now() - start, milliseconds(300));
    EXPECT_EQ(second, static_cast<ViSession>(VI_NULL));

    // Released by this process: a waiting thread gets it.
    WaitSignal waiting;
    auto opener = std::async(std::launch::async, [&] {
        return viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 5000, &second);
    });
    ASSERT_TRUE(waiting.wait());
    const auto closed = Clock::now();
    ASSERT_EQ(viClose(first), VI_SUCCESS);
    ASSERT_EQ(opener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(opener.get(), VI_SUCCESS);
    EXPECT_LT(Clock::now() - closed, milliseconds(static_cast<int>(kHandOverBoundMs)));
}

TEST_F(InstrumentLockTest, DifferentInstrumentsDoNotShareALock) {
    MemoryInstrument other(kVendor, kProduct, "SN1235");
    const ViSession first = open_instrument(VI_EXCLUSIVE_LOCK);
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), other.resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi), VI_SUCCESS);
    EXPECT_EQ(viClose(first), VI_SUCCESS);
}

TEST_F(InstrumentLockTest, LockFileNameFoldsCaseAndEscapes) {
    const std::string a = sgvisa::lock::instrument_lock_path("/d", {0x4d19, 0x0040, "ab/c"});
    EXPECT_EQ(a, "/d/lock-4d19-0040-AB%2FC");
    EXPECT_EQ(a, sgvisa::lock::instrument_lock_path("/d", {0x4d19, 0x0040, "AB/C"}));
    EXPECT_NE(a, sgvisa::lock::instrument_lock_path("/d", {0x4d19, 0x0041, "ab/c"}));
    // Long serial numbers keep the name short and distinct.
    const std::string l1 =
        sgvisa::lock::instrument_lock_path("/d", {1, 2, std::string(120, '%') + "1"});
    const std::string l2 =
        sgvisa::lock::instrument_lock_path("/d", {1, 2, std::string(120, '%') + "2"});
    EXPECT_LT(l1.size(), 230u);
    EXPECT_NE(l1, l2);
}

TEST_F(InstrumentLockTest, LockFilesLiveInThePrivateBusDirectory) {
    const ViSession vi = open_instrument(VI_EXCLUSIVE_LOCK);
    const std::string dir = sgproto::bus_directory();
    EXPECT_EQ(dir, runtime_dir() + "/sgvisa");
    EXPECT_TRUE(sgproto::bus_directory_is_private(dir));
    struct stat st {};
    EXPECT_EQ(stat((dir + "/lock-4d19-0040-SN1234").c_str(), &st), 0);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

// Opens of an instrument that is not there leave no lock file; those of a
// present one share a single file.
TEST_F(InstrumentLockTest, LockFilesAreMadeOnlyForInstrumentsFound) {
    const std::string found = instrument().resource_name();
    const struct {
        std::string resource;
        ViAccessMode mode;
        ViStatus status;
        std::vector<std::string> files;
    } cases[] = {
        {"USB0::0x4D19::0x0040::NOSUCH::INSTR", VI_NO_LOCK, VI_ERROR_RSRC_NFOUND, {}},
        {"USB0::0x4D19::0x0040::NOSUCH::INSTR", VI_EXCLUSIVE_LOCK, VI_ERROR_RSRC_NFOUND, {}},
        {"USB0::0x4D19::0x0041::SN1234::INSTR", VI_EXCLUSIVE_LOCK, VI_ERROR_RSRC_NFOUND, {}},
        {found, VI_NO_LOCK, VI_SUCCESS, {"lock-4d19-0040-SN1234"}},
        {found, VI_EXCLUSIVE_LOCK, VI_SUCCESS, {"lock-4d19-0040-SN1234"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resource + " mode " + std::to_string(c.mode));
        ViSession vi = VI_NULL;
        EXPECT_EQ(viOpen(rm(), c.resource.c_str(), c.mode, 0, &vi), c.status);
        std::vector<std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(sgproto::bus_directory()))
            if (e.path().filename().string().rfind("lock-", 0) == 0)
                files.push_back(e.path().filename().string());
        EXPECT_EQ(files, c.files);
        if (vi != VI_NULL) {
            EXPECT_EQ(viClose(vi), VI_SUCCESS);
        }
    }
}

TEST_F(InstrumentLockTest, DirectoryOpenToOthersIsRefused) {
    const std::string dir = runtime_dir() + "/sgvisa";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    ViSession vi = 99;
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_ERROR_NPERMISSION);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    EXPECT_EQ(instrument().opens(), 0);
    std::string error;
    EXPECT_FALSE(sgproto::ensure_bus_directory(error));
    EXPECT_FALSE(error.empty());
}

TEST_F(InstrumentLockTest, MissingRuntimeDirectoryIsASystemError) {
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (runtime_dir() + "/missing").c_str(), 1), 0);
    ViSession vi = 99;
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    EXPECT_EQ(instrument().opens(), 0);
}

}  // namespace
}  // namespace sgtest
