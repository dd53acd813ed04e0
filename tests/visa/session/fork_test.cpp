// A fork child and the sessions it inherits: they stay the parent's. The
// child's close of one only forgets it (no unlock of the parent's locks, no
// traffic on the parent's connection, no thread of the parent's stopped),
// its operations on one talk to nothing, and it opens sessions of its own.
// The child keeps none of the parent's lock descriptors, so the parent's
// locks go with the parent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "counted_allocations.h"
#include "lock/lock_file.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kName[] = "USB0::0x4d19::0x0040::FORK1::INSTR";

// The process's first fork handler, registered before the library's (it
// registers its own at its first use of each of its parts): in a child, the
// counting of allocations starts before the library's child handlers run.
const bool g_counting_from_the_first_child_handler =
    ::pthread_atfork(nullptr, nullptr, start_counting_allocations) == 0;

class ForkedChild : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        sim_ = std::make_unique<SimProcess>(runtime_, "FORK1");
        ASSERT_TRUE(sim_->ready());
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
    }
    void TearDown() override { viClose(rm_); }

    // The instrument's lock file as another process sees it.
    static std::unique_ptr<sgvisa::lock::LockFile> other_descriptor() {
        std::unique_ptr<sgvisa::lock::LockFile> file;
        EXPECT_EQ(sgvisa::lock::LockFile::open({0x4d19, 0x0040, "FORK1"}, file), VI_SUCCESS);
        return file;
    }

    static bool query(ViSession vi) {
        char idn[128] = "";
        return viQueryf(vi, "*IDN?\n", "%127t", idn) == VI_SUCCESS &&
               std::strstr(idn, ",FORK1,") != nullptr;
    }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
    ViSession rm_ = VI_NULL;
};

TEST_F(ForkedChild, ClosingWhatItInheritedLeavesTheParentsLockAndConnectionAlone) {
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_EXCLUSIVE_LOCK, 2000, &vi), VI_SUCCESS);
    ASSERT_TRUE(query(vi));

    const pid_t child = ::fork();
    if (child == 0) {
        int wrong = 0;
        char idn[128];
        wrong += viQueryf(vi, "*IDN?\n", "%127t", idn) != VI_ERROR_INV_OBJECT;
        wrong += viClose(vi) != VI_SUCCESS;
        wrong += viClose(rm_) != VI_SUCCESS;
        // Sessions of its own: the parent's lock keeps them out.
        ViSession rm = VI_NULL;
        ViSession own = VI_NULL;
        wrong += viOpenDefaultRM(&rm) != VI_SUCCESS;
        wrong += viOpen(rm, kName, VI_NULL, 0, &own) != VI_SUCCESS;
        wrong += viQueryf(own, "*IDN?\n", "%127t", idn) != VI_ERROR_RSRC_LOCKED;
        wrong += viClose(rm) != VI_SUCCESS;
        ::_exit(wrong);
    }
    EXPECT_EQ(wait_for_exit(child, milliseconds(10000)), 0);

    auto other = other_descriptor();
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::visa_lock), F_WRLCK);
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK);
    ViAccessMode state = VI_NO_LOCK;
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_LOCK_STATE, &state), VI_SUCCESS);
    EXPECT_EQ(state, static_cast<ViAccessMode>(VI_EXCLUSIVE_LOCK));
    int good = 0;
    for (int i = 0; i < 20; ++i)
        good += query(vi);
    EXPECT_EQ(good, 20);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::visa_lock), F_UNLCK);
}

// The child's sockets connected to the instrument's device socket.
int connections_to_instrument() {
    int found = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_un peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
            peer.sun_family == AF_UNIX && std::strstr(peer.sun_path, "FORK1") != nullptr)
            ++found;
    }
    return found;
}

TEST_F(ForkedChild, KeepsNoneOfTheParentsConnectionsToTheInstrument) {
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi), VI_SUCCESS);
    ASSERT_TRUE(query(vi));
    // The status byte comes by interrupt-IN, on a connection of its own.
    ViUInt16 stb = 0;
    ASSERT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    ASSERT_GE(connections_to_instrument(), 2);

    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(connections_to_instrument());
    EXPECT_EQ(wait_for_exit(child, milliseconds(10000)), 0) << "connections the child kept";
    EXPECT_TRUE(query(vi));
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

// The descriptors open now, by number.
std::vector<int> open_descriptors() {
    std::vector<int> open;
    for (int fd = 0; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            open.push_back(fd);
    }
    return open;
}

// Whatever the parent's sessions opened (connections, their cancel and wake
// descriptors, lock files, wait instances) is closed in the child at the
// fork: nothing of the parent's lives on in a worker that never execs.
TEST_F(ForkedChild, KeepsNoneOfTheDescriptorsTheParentsSessionsOpened) {
    const std::vector<int> before = open_descriptors();
    ViSession vi = VI_NULL;
    ViSession other = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &other), VI_SUCCESS);
    ASSERT_TRUE(query(vi));
    ViUInt16 stb = 0;
    ASSERT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL), VI_SUCCESS);
    ASSERT_EQ(viLock(vi, VI_EXCLUSIVE_LOCK, 2000, VI_NULL, VI_NULL), VI_SUCCESS);
    // A lock wait of another session, so that a wait instance is lent out.
    EXPECT_EQ(viLock(other, VI_EXCLUSIVE_LOCK, 20, VI_NULL, VI_NULL), VI_ERROR_TMO);
    std::vector<int> made;
    for (const int fd : open_descriptors()) {
        if (std::find(before.begin(), before.end(), fd) == before.end())
            made.push_back(fd);
    }
    ASSERT_FALSE(made.empty());

    const pid_t child = ::fork();
    if (child == 0) {
        int kept = 0;
        for (const int fd : made)
            kept += ::fcntl(fd, F_GETFD) != -1;
        ::_exit(kept);
    }
    EXPECT_EQ(wait_for_exit(child, milliseconds(10000)), 0)
        << "of the " << made.size() << " descriptors the parent's sessions opened, the child kept";
    EXPECT_TRUE(query(vi));
    EXPECT_EQ(viClose(other), VI_SUCCESS);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

TEST_F(ForkedChild, ClosingWhatItInheritedLeavesTheParentsWatchAlone) {
    ViSession keeper = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &keeper), VI_SUCCESS);
    ASSERT_TRUE(query(keeper));
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(viClose(keeper) == VI_SUCCESS && viClose(rm_) == VI_SUCCESS ? 0 : 1);
    EXPECT_EQ(wait_for_exit(child, milliseconds(10000)), 0);

    // The parent keeps the access lock while idle, and still lets go when
    // another process asks, without a call of its own.
    auto other = other_descriptor();
    EXPECT_EQ(other->held_by_others(sgvisa::lock::LockFile::access), F_WRLCK);
    sgvisa::CancelToken token;
    const auto start = Clock::now();
    ASSERT_EQ(sgvisa::lock::lock_waiting(*other, sgvisa::lock::LockFile::access,
                                         sgvisa::deadline_after_ms(3000), token),
              VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    other->unlock(sgvisa::lock::LockFile::access);
    other->wake_waiters();
    EXPECT_TRUE(query(keeper));
}

// Forks at any moment of another thread's work with the instrument: each
// child opens and queries on its own, whatever the parent's locks and
// threads were doing when it was made.
TEST_F(ForkedChild, ForkWhileAnotherThreadWorksLeavesTheChildAbleToWork) {
    ViSession busy = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &busy), VI_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> parent_wrong{0};
    std::thread worker([&] {
        while (!stop)
            parent_wrong += !query(busy);
    });
    int children_wrong = 0;
    for (int i = 0; i < 10; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            ViSession rm = VI_NULL;
            ViSession own = VI_NULL;
            const bool ok = viOpenDefaultRM(&rm) == VI_SUCCESS &&
                            viOpen(rm, kName, VI_NULL, 2000, &own) == VI_SUCCESS && query(own) &&
                            viClose(rm) == VI_SUCCESS;
            ::_exit(ok ? 0 : 1);
        }
        children_wrong += wait_for_exit(child, milliseconds(10000)) != 0;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(children_wrong, 0);
    EXPECT_EQ(parent_wrong.load(), 0);
}

// A holder with a fork child that lives on (say a worker that never execs)
// is killed: its locks go at once, for the child holds none of them.
TEST_F(ForkedChild, KilledParentLeavesNothingLockedWhileItsChildLives) {
    int ready[2];
    int child_lives[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(child_lives), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(child_lives[1]);
        ViSession rm = VI_NULL;
        ViSession vi = VI_NULL;
        viOpenDefaultRM(&rm);
        if (viOpen(rm, kName, VI_EXCLUSIVE_LOCK, 2000, &vi) != VI_SUCCESS || !query(vi))
            ::_exit(1);
        if (::fork() == 0) {
            // Lives until the test lets it go (bounded).
            pollfd p{child_lives[0], POLLIN, 0};
            ::poll(&p, 1, 20000);
            ::_exit(0);
        }
        (void)!::write(ready[1], "h", 1);
        pollfd p{child_lives[0], POLLIN, 0};
        ::poll(&p, 1, 20000);  // killed long before
        ::_exit(0);
    }
    ::close(child_lives[0]);
    char c = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    EXPECT_EQ(wait_for_exit(holder, milliseconds(10000)), 128 + SIGKILL);

    ViSession vi = VI_NULL;
    const auto start = Clock::now();
    EXPECT_EQ(viOpen(rm_, kName, VI_EXCLUSIVE_LOCK, 2000, &vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_TRUE(query(vi));
    ::close(child_lives[1]);  // the child ends
    ::close(ready[0]);
    ::close(ready[1]);
}

// A child's fork handlers run where only async-signal-safe calls are sound:
// the parent's other threads may have held the allocator's locks at the
// fork (an allocator that does not guard fork, or a sanitizer's, then hangs
// the child inside fork()).
TEST_F(ForkedChild, TheLibrarysChildHandlersNeitherAllocateNorFree) {
    if (!allocations_counted())
        GTEST_SKIP() << "the sanitizer's runtime brings its own operator new";
    ASSERT_TRUE(g_counting_from_the_first_child_handler);
    // Every part of the library with fork handlers in use: sessions, a
    // connection with its access lock kept and watched, the status byte's
    // reader, the exclusive lock.
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi), VI_SUCCESS);
    ASSERT_TRUE(query(vi));
    ViUInt16 stb = 0;
    ASSERT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    ASSERT_EQ(viLock(vi, VI_EXCLUSIVE_LOCK, 2000, VI_NULL, VI_NULL), VI_SUCCESS);
    ASSERT_TRUE(query(vi));
    // The last child handler: the library's have run.
    ASSERT_EQ(::pthread_atfork(nullptr, nullptr, stop_counting_allocations), 0);

    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(std::min(counted_news(), 15) << 4 | std::min(counted_deletes(), 15));
    const int counts = wait_for_exit(child, milliseconds(10000));
    ASSERT_GE(counts, 0);
    EXPECT_EQ(counts >> 4, 0) << "operator new calls";
    EXPECT_EQ(counts & 15, 0) << "operator delete calls";
    EXPECT_TRUE(query(vi));
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

}  // namespace
}  // namespace sgtest
