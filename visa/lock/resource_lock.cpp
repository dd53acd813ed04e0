#include "lock/resource_lock.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <utility>

namespace sgvisa::lock {
namespace {

constexpr std::size_t kMaxKeyLength = 255;

std::string generated_key() {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char key[64];
    std::snprintf(key, sizeof key, "sgvisa-%ld-%u-%llx", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(now));
    return key;
}

}  // namespace

// The first call arms `wait` and returns at once, so that the caller tries
// again before it sleeps (a release in between is not missed); later calls
// sleep until the lock file changes or `deadline`, with `guard` released.
ViStatus ResourceLock::await_change(std::unique_lock<std::mutex>& guard,
                                    std::unique_ptr<LockWait>& wait, Deadline deadline,
                                    CancelToken& token) {
    if (token.cancelled())
        return VI_ERROR_ABORT;
    if (!wait) {
        wait = std::make_unique<LockWait>(*file_, token);
        return VI_SUCCESS;
    }
    if (Clock::now() >= deadline)
        return VI_ERROR_TMO;
    guard.unlock();
    wait->wait(deadline);
    guard.lock();
    return VI_SUCCESS;
}

ResourceLock::ResourceLock(std::unique_ptr<LockFile> file) : file_(std::move(file)) {}

ViStatus ResourceLock::lock(ViAccessMode type, Deadline deadline, const char* requested_key,
                            std::string& key, CancelToken& token) {
    if (type == VI_EXCLUSIVE_LOCK)
        return lock_exclusive(deadline, token);
    if (type != VI_SHARED_LOCK)
        return VI_ERROR_INV_LOCK_TYPE;
    const std::string requested = requested_key != nullptr ? requested_key : "";
    if (requested.size() > kMaxKeyLength)
        return VI_ERROR_INV_ACCESS_KEY;
    return lock_shared(deadline, requested, key, token);
}

ViStatus ResourceLock::lock_exclusive(Deadline deadline, CancelToken& token) {
    std::unique_lock guard(mutex_);
    if (exclusive_ > 0) {
        ++exclusive_;
        return VI_SUCCESS_NESTED_EXCLUSIVE;
    }
    std::unique_ptr<LockWait> wait;
    for (;;) {
        // Also converts this session's own shared lock when nobody else shares it.
        if (file_->try_lock(LockFile::visa_lock, F_WRLCK)) {
            exclusive_ = 1;
            return VI_SUCCESS;
        }
        if (const ViStatus st = await_change(guard, wait, deadline, token); st != VI_SUCCESS)
            return st;
        if (exclusive_ > 0) {  // another thread of this session got it meanwhile
            ++exclusive_;
            return VI_SUCCESS_NESTED_EXCLUSIVE;
        }
    }
}

ViStatus ResourceLock::lock_shared(Deadline deadline, const std::string& requested,
                                   std::string& key, CancelToken& token) {
    std::unique_lock guard(mutex_);
    if (shared_ > 0) {
        if (!requested.empty() && requested != key_)
            return VI_ERROR_INV_ACCESS_KEY;
        ++shared_;
        key = key_;
        return VI_SUCCESS_NESTED_SHARED;
    }
    if (exclusive_ > 0) {
        // Holding the exclusive lock: the shared one is this session's alone
        // until the exclusive one goes.
        key_ = requested.empty() ? generated_key() : requested;
        file_->write_key(key_);
        shared_ = 1;
        key = key_;
        return VI_SUCCESS;
    }
    std::unique_ptr<LockWait> wait;
    for (;;) {
        if (file_->try_lock(LockFile::visa_lock, F_WRLCK)) {
            // Nobody holds a lock: this session starts a shared one. The key
            // is written under the write lock, which then becomes a read lock.
            key_ = requested.empty() ? generated_key() : requested;
            file_->write_key(key_);
            file_->try_lock(LockFile::visa_lock, F_RDLCK);
            file_->wake_waiters();  // sessions with the key may join now
            shared_ = 1;
            key = key_;
            return VI_SUCCESS;
        }
        if (!requested.empty() && file_->held_by_others(LockFile::visa_lock) == F_RDLCK &&
            file_->read_key() == requested && file_->try_lock(LockFile::visa_lock, F_RDLCK)) {
            // The key changes only under a write lock, which cannot be held
            // while this read lock is: if it still matches, this is that lock.
            if (file_->read_key() == requested) {
                key_ = requested;
                shared_ = 1;
                key = key_;
                return VI_SUCCESS;
            }
            // Another key's lock now. A waiter that tried while this read
            // lock was held may have found it in the way: woken to try again.
            file_->unlock(LockFile::visa_lock);
            file_->wake_waiters();
        }
        if (const ViStatus st = await_change(guard, wait, deadline, token); st != VI_SUCCESS)
            return st;
        if (shared_ > 0) {
            ++shared_;
            key = key_;
            return VI_SUCCESS_NESTED_SHARED;
        }
    }
}

void ResourceLock::apply_counts() {
    if (exclusive_ > 0) {
        return;  // the write lock stays
    }
    if (shared_ > 0) {
        file_->try_lock(LockFile::visa_lock, F_RDLCK);  // a write lock becomes a read lock
    } else {
        file_->unlock(LockFile::visa_lock);
        key_.clear();
    }
    file_->wake_waiters();
}

ViStatus ResourceLock::unlock(bool& exclusive_released) {
    std::lock_guard guard(mutex_);
    exclusive_released = false;
    if (exclusive_ > 0) {
        if (--exclusive_ == 0) {
            exclusive_released = true;
            apply_counts();
        }
    } else if (shared_ > 0) {
        if (--shared_ == 0)
            apply_counts();
    } else {
        return VI_ERROR_SESN_NLOCKED;
    }
    if (exclusive_ > 0)
        return VI_SUCCESS_NESTED_EXCLUSIVE;
    if (shared_ > 0)
        return VI_SUCCESS_NESTED_SHARED;
    return VI_SUCCESS;
}

void ResourceLock::release_all() {
    std::lock_guard guard(mutex_);
    if (exclusive_ == 0 && shared_ == 0)
        return;
    exclusive_ = 0;
    shared_ = 0;
    apply_counts();
}

ViAccessMode ResourceLock::held() const {
    std::lock_guard guard(mutex_);
    if (exclusive_ > 0)
        return VI_EXCLUSIVE_LOCK;
    return shared_ > 0 ? VI_SHARED_LOCK : VI_NO_LOCK;
}

ViAccessMode ResourceLock::resource_state() const {
    const ViAccessMode own = held();
    if (own != VI_NO_LOCK)
        return own;
    switch (file_->held_by_others(LockFile::visa_lock)) {
        case F_WRLCK:
            return VI_EXCLUSIVE_LOCK;
        case F_RDLCK:
            return VI_SHARED_LOCK;
        default:
            return VI_NO_LOCK;
    }
}

bool ResourceLock::may_access() const {
    return held() != VI_NO_LOCK || file_->held_by_others(LockFile::visa_lock) == F_UNLCK;
}

}  // namespace sgvisa::lock
