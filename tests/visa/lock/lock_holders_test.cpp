// Naming the holders of an instrument's locks, held by other processes.
#include "lock/lock_holders.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "child_process.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using sgvisa::lock::lock_holders;
using sgvisa::lock::LockFile;

const sgvisa::lock::InstrumentKey kKey{kVendor, kProduct, "SN1234"};

// A child process that runs `take` (which returns whether it got what it
// wanted), reports, and keeps what it took until the parent lets it go.
class Child {
  public:
    explicit Child(const std::function<bool()>& take) {
        int up[2];
        int down[2];
        if (pipe(up) != 0 || pipe(down) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            const char ok = take() ? 'y' : 'n';
            (void)!write(up[1], &ok, 1);
            pollfd p{down[0], POLLIN, 0};
            poll(&p, 1, 30000);  // bounded: the parent ends long before
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        from_ = up[0];
        to_ = down[1];
    }
    ~Child() { release(); }

    bool ready() {
        pollfd p{from_, POLLIN, 0};
        char ok = 'n';
        return poll(&p, 1, 10000) == 1 && read(from_, &ok, 1) == 1 && ok == 'y';
    }
    void release() {
        if (to_ >= 0)
            close(to_);
        to_ = -1;
        if (pid_ > 0)
            wait_for_exit(pid_, std::chrono::milliseconds(10000));
        pid_ = -1;
        if (from_ >= 0)
            close(from_);
        from_ = -1;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int from_ = -1;
    int to_ = -1;
};

// Takes `type` on `byte` of the instrument's lock file (the file is left
// open in the child on purpose: its locks last as long as it does).
std::function<bool()> file_lock(LockFile::Byte byte, short type) {
    return [byte, type] {
        std::unique_ptr<LockFile> file;
        if (LockFile::open(kKey, file) != VI_SUCCESS || !file->try_lock(byte, type))
            return false;
        (void)file.release();
        return true;
    };
}

using LockHoldersTest = VisaTest;

TEST_F(LockHoldersTest, NothingIsHeldBeforeAnyLockFileExistsAndAfterTheHolderGoes) {
    auto none = lock_holders(kKey);
    EXPECT_TRUE(none.known);
    EXPECT_FALSE(none.exclusive.held || none.shared.held || none.access.held);

    Child holder(file_lock(LockFile::visa_lock, F_WRLCK));
    ASSERT_TRUE(holder.ready());
    EXPECT_TRUE(lock_holders(kKey).exclusive.held);
    holder.release();
    const auto after = lock_holders(kKey);
    EXPECT_TRUE(after.known);
    EXPECT_FALSE(after.exclusive.held || after.shared.held || after.access.held);
    EXPECT_TRUE(after.exclusive.pids.empty());
}

TEST_F(LockHoldersTest, AnExclusiveOpenInAnotherProcessIsNamedWithItsPid) {
    const std::string resource = instrument().resource_name();
    Child holder([&resource] {
        ViSession rm = VI_NULL;
        ViSession vi = VI_NULL;
        return viOpenDefaultRM(&rm) == VI_SUCCESS &&
               viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 1000, &vi) == VI_SUCCESS;
    });
    ASSERT_TRUE(holder.ready());
    const auto held = lock_holders(kKey);
    EXPECT_TRUE(held.exclusive.held);
    EXPECT_EQ(held.exclusive.pids, std::vector<pid_t>{holder.pid()});
    EXPECT_FALSE(held.shared.held);
    EXPECT_TRUE(held.shared.pids.empty());
}

TEST_F(LockHoldersTest, EverySharingProcessIsNamed) {
    Child first(file_lock(LockFile::visa_lock, F_RDLCK));
    Child second(file_lock(LockFile::visa_lock, F_RDLCK));
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(second.ready());
    const auto held = lock_holders(kKey);
    EXPECT_FALSE(held.exclusive.held);
    EXPECT_TRUE(held.shared.held);
    std::vector<pid_t> both{first.pid(), second.pid()};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(held.shared.pids, both);
    EXPECT_FALSE(held.access.held);
}

TEST_F(LockHoldersTest, TheAccessLockIsToldApartFromTheVisaLock) {
    Child talker(file_lock(LockFile::access, F_WRLCK));
    ASSERT_TRUE(talker.ready());
    const auto held = lock_holders(kKey);
    EXPECT_TRUE(held.access.held);
    EXPECT_EQ(held.access.pids, std::vector<pid_t>{talker.pid()});
    EXPECT_FALSE(held.exclusive.held || held.shared.held);
    EXPECT_TRUE(held.exclusive.pids.empty() && held.shared.pids.empty());
}

}  // namespace
}  // namespace sgtest
