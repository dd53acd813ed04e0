// Ending one operation and no other: viTerminate of an asynchronous job,
// and viClose of a session whose operations wait in other threads (for
// their turn on the connection, for another process, for a lock). Each ends
// at once with VI_ERROR_ABORT; viClose returns at once.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "inotify_watchers.h"
#include "lock/lock_file.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kPrompt = milliseconds(500);  // "at once", with room for a loaded machine

class OperationCancel : public VisaTest {
  protected:
    ViSession open_unlocked(ViUInt32 timeout_ms) {
        const ViSession vi = open_instrument(VI_NULL);
        EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout_ms), VI_SUCCESS);
        return vi;
    }
    std::string lock_path() const { return lock_file_of(kVendor, kProduct, "SN1234"); }

    // Another process's view of the instrument talking to it now: its
    // access lock held by a descriptor of its own.
    void hold_access_elsewhere() {
        ASSERT_EQ(sgvisa::lock::LockFile::open({kVendor, kProduct, "SN1234"}, other_), VI_SUCCESS);
        ASSERT_TRUE(other_->try_lock(sgvisa::lock::LockFile::access, F_WRLCK));
    }

    // The next I/O completion's status, waiting at most `bound`.
    ViStatus completion(ViSession vi, ViUInt32 bound_ms = 2000) {
        ViEventType type = 0;
        ViEvent context = VI_NULL;
        const ViStatus st = viWaitOnEvent(vi, VI_EVENT_IO_COMPLETION, bound_ms, &type, &context);
        if (st < 0)
            return st;
        ViStatus status = VI_SUCCESS;
        EXPECT_EQ(viGetAttribute(context, VI_ATTR_STATUS, &status), VI_SUCCESS);
        viClose(context);
        return status;
    }

    // A job is taken by the session's job thread as soon as that thread
    // runs; nothing outside tells when it has, so this leaves it the time.
    static void let_the_job_thread_take_it() { std::this_thread::sleep_for(milliseconds(100)); }

    std::unique_ptr<sgvisa::lock::LockFile> other_;
};

TEST_F(OperationCancel, TerminateEndsAJobWaitingForAnotherProcessAtOnce) {
    const ViSession vi = open_unlocked(10000);
    ASSERT_EQ(viEnableEvent(vi, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS);
    hold_access_elsewhere();
    ViJobId job = VI_NULL;
    ASSERT_EQ(viWriteAsync(vi, reinterpret_cast<ViConstBuf>("X\n"), 2, &job), VI_SUCCESS);
    ASSERT_TRUE(wait_for_lock_waiters(lock_path(), 1)) << "the job never waited";

    const auto start = Clock::now();
    EXPECT_EQ(viTerminate(vi, VI_NULL, job), VI_SUCCESS);
    EXPECT_EQ(completion(vi), VI_ERROR_ABORT);
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_TRUE(instrument().messages().empty());
}

TEST_F(OperationCancel, TerminateOfAJobLeavesAnotherThreadsOperationAlone) {
    const ViSession vi = open_unlocked(10000);
    ASSERT_EQ(viEnableEvent(vi, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS);
    auto query = std::async(std::launch::async, [&] {
        char reply[16] = "";
        const ViStatus st = viQueryf(vi, "SLOW?\n", "%15T", reply);
        return std::make_pair(st, std::string(reply));
    });
    ASSERT_TRUE(instrument().wait_for_blocked_read(seconds(10)));
    ViByte buf[16];
    ViJobId job = VI_NULL;
    ASSERT_EQ(viReadAsync(vi, buf, sizeof buf, &job), VI_SUCCESS);
    let_the_job_thread_take_it();  // queued behind the query

    EXPECT_EQ(viTerminate(vi, VI_NULL, job), VI_SUCCESS);
    EXPECT_EQ(completion(vi), VI_ERROR_ABORT);
    // The query still waits for its reply, and gets it.
    EXPECT_EQ(query.wait_for(milliseconds(0)), std::future_status::timeout);
    instrument().push_output("late\n", true);
    ASSERT_EQ(query.wait_for(seconds(10)), std::future_status::ready);
    const auto [st, reply] = query.get();
    EXPECT_EQ(st, VI_SUCCESS);
    EXPECT_EQ(reply, "late\n");
}

TEST_F(OperationCancel, CloseEndsAnotherThreadsLockWaitAtOnce) {
    const ViSession holder = open_unlocked(2000);
    ASSERT_EQ(viLock(holder, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    const ViSession vi = open_unlocked(2000);
    auto locker = std::async(std::launch::async,
                             [&] { return viLock(vi, VI_EXCLUSIVE_LOCK, 5000, VI_NULL, VI_NULL); });
    ASSERT_TRUE(wait_for_lock_waiters(lock_path(), 1)) << "the lock never waited";

    const auto start = Clock::now();
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, kPrompt);
    ASSERT_EQ(locker.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(locker.get(), VI_ERROR_ABORT);
    EXPECT_EQ(viUnlock(holder), VI_SUCCESS);
}

TEST_F(OperationCancel, CloseEndsAJobWaitingForAnotherProcessAtOnce) {
    const ViSession vi = open_unlocked(5000);
    hold_access_elsewhere();
    ViByte buf[16];
    ASSERT_EQ(viReadAsync(vi, buf, sizeof buf, VI_NULL), VI_SUCCESS);
    ASSERT_TRUE(wait_for_lock_waiters(lock_path(), 1)) << "the job never waited";

    const auto start = Clock::now();
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, kPrompt);
}

TEST_F(OperationCancel, CloseEndsAJobQueuedBehindAnotherSessionAtOnce) {
    const ViSession busy = open_unlocked(10000);
    const ViSession vi = open_unlocked(5000);
    auto query = std::async(std::launch::async, [&] {
        char reply[16] = "";
        return viQueryf(busy, "SLOW?\n", "%15T", reply);
    });
    ASSERT_TRUE(instrument().wait_for_blocked_read(seconds(10)));
    ViByte buf[16];
    ASSERT_EQ(viReadAsync(vi, buf, sizeof buf, VI_NULL), VI_SUCCESS);
    let_the_job_thread_take_it();

    const auto start = Clock::now();
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, kPrompt);
    instrument().push_output("late\n", true);
    EXPECT_EQ(query.get(), VI_SUCCESS);
}

// Letting go of the instrument after an operation may mean aborting a
// transfer with it first; another session's close does not wait for that.
TEST_F(OperationCancel, CloseDoesNotWaitForAnotherSessionLettingGo) {
    const ViSession worker = open_unlocked(2000);
    const ViSession vi = open_unlocked(2000);
    // A waiter in another process: the worker lets go after its operation.
    std::unique_ptr<sgvisa::lock::LockFile> waiter;
    ASSERT_EQ(sgvisa::lock::LockFile::open({kVendor, kProduct, "SN1234"}, waiter), VI_SUCCESS);
    ASSERT_TRUE(waiter->try_lock(sgvisa::lock::LockFile::waiters, F_RDLCK));
    instrument().block_relinquish();
    auto write = std::async(std::launch::async, [&] { return viPrintf(worker, "*CLS\n"); });
    ASSERT_TRUE(instrument().wait_for_blocked_relinquish(seconds(10)));

    const auto start = Clock::now();
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, kPrompt);
    instrument().unblock_relinquish();
    EXPECT_EQ(write.get(), VI_SUCCESS);
}

}  // namespace
}  // namespace sgtest
