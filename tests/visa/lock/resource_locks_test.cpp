// viLock/viUnlock: exclusive and shared locks with keys, nesting, the lock
// state attribute, and a shared lock joined from another process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "child_process.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class ResourceLocks : public VisaTest {
  protected:
    ViAccessMode state(ViSession vi) {
        ViAccessMode mode = 99;
        EXPECT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_LOCK_STATE, &mode), VI_SUCCESS);
        return mode;
    }
    ViStatus write(ViSession vi) { return viPrintf(vi, "*CLS\n"); }
};

TEST_F(ResourceLocks, SharedLockAdmitsTheSessionsWithItsKeyAndNestsWithTheSameKey) {
    const ViSession a = open_instrument(VI_NULL);
    const ViSession b = open_instrument(VI_NULL);
    const ViSession c = open_instrument(VI_NULL);
    char key[VI_FIND_BUFLEN] = "";
    ASSERT_EQ(viLock(a, VI_SHARED_LOCK, 0, VI_NULL, key), VI_SUCCESS);
    ASSERT_GT(std::strlen(key), 0u) << "a key is made when none is asked for";
    EXPECT_EQ(write(b), VI_ERROR_RSRC_LOCKED);

    char joined[VI_FIND_BUFLEN] = "";
    ASSERT_EQ(viLock(b, VI_SHARED_LOCK, 0, key, joined), VI_SUCCESS);
    EXPECT_STREQ(joined, key);
    EXPECT_EQ(write(a), VI_SUCCESS);
    EXPECT_EQ(write(b), VI_SUCCESS);
    EXPECT_EQ(write(c), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(state(c), static_cast<ViAccessMode>(VI_SHARED_LOCK));

    // A wrong key waits out its timeout.
    const auto start = Clock::now();
    EXPECT_EQ(viLock(c, VI_SHARED_LOCK, 150, "not the key", joined), VI_ERROR_TMO);
    EXPECT_GE(Clock::now() - start, milliseconds(150));
    // Nesting with the same key, not another.
    EXPECT_EQ(viLock(a, VI_SHARED_LOCK, 0, VI_NULL, joined), VI_SUCCESS_NESTED_SHARED);
    EXPECT_EQ(viLock(a, VI_SHARED_LOCK, 0, "other", joined), VI_ERROR_INV_ACCESS_KEY);

    EXPECT_EQ(viUnlock(b), VI_SUCCESS);
    EXPECT_EQ(write(b), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viUnlock(b), VI_ERROR_SESN_NLOCKED);
    EXPECT_EQ(viUnlock(a), VI_SUCCESS_NESTED_SHARED);
    EXPECT_EQ(write(c), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viUnlock(a), VI_SUCCESS);
    EXPECT_EQ(write(c), VI_SUCCESS);
    EXPECT_EQ(state(c), static_cast<ViAccessMode>(VI_NO_LOCK));
    EXPECT_EQ(instrument().messages().size(), 3u);
}

TEST_F(ResourceLocks, ExclusiveLockKeepsOthersOutAtOnceAndNests) {
    const ViSession a = open_instrument(VI_NULL);
    const ViSession b = open_instrument(VI_NULL);
    ASSERT_EQ(viLock(a, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viLock(a, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS_NESTED_EXCLUSIVE);
    const auto start = Clock::now();
    EXPECT_EQ(write(b), VI_ERROR_RSRC_LOCKED);
    EXPECT_LT(Clock::now() - start, milliseconds(100)) << "refused, not waited for";
    EXPECT_EQ(viLock(b, VI_EXCLUSIVE_LOCK, 100, VI_NULL, VI_NULL), VI_ERROR_TMO);
    char key[VI_FIND_BUFLEN];
    EXPECT_EQ(viLock(b, VI_SHARED_LOCK, 0, VI_NULL, key), VI_ERROR_TMO);
    EXPECT_EQ(state(b), static_cast<ViAccessMode>(VI_EXCLUSIVE_LOCK));
    EXPECT_EQ(write(a), VI_SUCCESS);

    EXPECT_EQ(viUnlock(a), VI_SUCCESS_NESTED_EXCLUSIVE);
    EXPECT_EQ(write(b), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viUnlock(a), VI_SUCCESS);
    EXPECT_EQ(write(b), VI_SUCCESS);
    EXPECT_EQ(viLock(a, 3, 0, VI_NULL, VI_NULL), VI_ERROR_INV_LOCK_TYPE);
    EXPECT_EQ(viLock(a, VI_SHARED_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_USER_BUF);
    EXPECT_EQ(viLock(a, VI_SHARED_LOCK, 0, std::string(256, 'k').c_str(), key),
              VI_ERROR_INV_ACCESS_KEY);
}

TEST_F(ResourceLocks, SharedLockAloneBecomesExclusiveAndReturnsToShared) {
    const ViSession a = open_instrument(VI_NULL);
    const ViSession b = open_instrument(VI_NULL);
    char key[VI_FIND_BUFLEN];
    ASSERT_EQ(viLock(a, VI_SHARED_LOCK, 0, "mine", key), VI_SUCCESS);
    ASSERT_EQ(viLock(a, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viLock(b, VI_SHARED_LOCK, 0, "mine", key), VI_ERROR_TMO);
    EXPECT_EQ(viUnlock(a), VI_SUCCESS_NESTED_SHARED);
    EXPECT_EQ(state(a), static_cast<ViAccessMode>(VI_SHARED_LOCK));
    EXPECT_EQ(viLock(b, VI_SHARED_LOCK, 100, "mine", key), VI_SUCCESS);
    EXPECT_EQ(write(b), VI_SUCCESS);
    // Two sharers: neither can make it exclusive.
    EXPECT_EQ(viLock(a, VI_EXCLUSIVE_LOCK, 50, VI_NULL, VI_NULL), VI_ERROR_TMO);
    // Closing a session gives its locks up.
    ASSERT_EQ(viClose(a), VI_SUCCESS);
    ASSERT_EQ(viClose(b), VI_SUCCESS);
    EXPECT_EQ(write(open_instrument(VI_NULL)), VI_SUCCESS);
}

// A child process holds a shared lock under a key it was given; this process
// joins it with that key, and a session without it stays out.
TEST_F(ResourceLocks, SharedLockIsJoinedAcrossProcessesByItsKey) {
    int to_child[2];
    int from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(to_child[1]);
        ViSession rm = VI_NULL;
        ViSession vi = VI_NULL;
        viOpenDefaultRM(&rm);
        char key[VI_FIND_BUFLEN];
        ViStatus st = viOpen(rm, instrument().resource_name().c_str(), VI_NULL, 1000, &vi);
        if (st == VI_SUCCESS)
            st = viLock(vi, VI_SHARED_LOCK, 1000, "RACK-7", key);
        (void)!::write(from_child[1], &st, sizeof st);
        pollfd p{to_child[0], POLLIN, 0};
        ::poll(&p, 1, 20000);  // bounded: the parent answers long before
        _exit(0);
    }
    ViStatus child = VI_ERROR_SYSTEM_ERROR;
    pollfd p{from_child[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_EQ(::read(from_child[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    ASSERT_EQ(child, VI_SUCCESS);

    const ViSession a = open_instrument(VI_NULL);
    const ViSession b = open_instrument(VI_NULL);
    char key[VI_FIND_BUFLEN];
    EXPECT_EQ(write(a), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viLock(a, VI_SHARED_LOCK, 0, "RACK-7", key), VI_SUCCESS);
    EXPECT_EQ(write(a), VI_SUCCESS);
    EXPECT_EQ(viLock(b, VI_SHARED_LOCK, 50, "RACK-8", key), VI_ERROR_TMO);
    EXPECT_EQ(write(b), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viUnlock(a), VI_SUCCESS);

    // The child's end releases its share.
    ::close(to_child[1]);
    EXPECT_EQ(wait_for_exit(pid, milliseconds(10000)), 0);
    EXPECT_EQ(write(b), VI_SUCCESS);
    ::close(to_child[0]);
    ::close(from_child[0]);
    ::close(from_child[1]);
}

}  // namespace
}  // namespace sgtest
