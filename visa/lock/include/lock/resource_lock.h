// One session's VISA lock on its instrument (viLock, viUnlock, and the lock
// viOpen takes with VI_EXCLUSIVE_LOCK), across the sessions of every process
// of the user, on the instrument's lock file (lock_file.h).
//
// An exclusive lock excludes every other session; a shared lock admits the
// sessions that present its key. Locks nest: each viLock is undone by one
// viUnlock. A session holding a shared lock may take the exclusive lock on
// top when no other session shares it; unlocking the exclusive lock then
// leaves the shared one. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "lock/lock_file.h"
#include "transport/cancel_token.h"
#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::lock {

class ResourceLock {
  public:
    explicit ResourceLock(std::unique_ptr<LockFile> file);

    // Takes a lock of `type` (VI_EXCLUSIVE_LOCK or VI_SHARED_LOCK), waiting
    // for incompatible holders until `deadline`. A shared lock joins the one
    // held with `requested_key` (null or empty: a new lock with a generated
    // key), and returns its key in `key`. VI_SUCCESS, or
    // VI_SUCCESS_NESTED_EXCLUSIVE / _SHARED when this session held that type
    // already; VI_ERROR_TMO when the deadline passed; VI_ERROR_INV_LOCK_TYPE;
    // VI_ERROR_INV_ACCESS_KEY for a key longer than 255 characters;
    // VI_ERROR_ABORT when `token`, which the wait blocks on, is cancelled.
    ViStatus lock(ViAccessMode type, Deadline deadline, const char* requested_key, std::string& key,
                  CancelToken& token);

    // Undoes one lock: the exclusive one first when both are held.
    // VI_SUCCESS when the session holds no lock any more, else
    // VI_SUCCESS_NESTED_EXCLUSIVE / _SHARED; VI_ERROR_SESN_NLOCKED when it
    // held none. `exclusive_released` tells whether the exclusive lock went.
    ViStatus unlock(bool& exclusive_released);

    // Drops every lock of the session (its close).
    void release_all();

    // What this session holds: VI_EXCLUSIVE_LOCK, VI_SHARED_LOCK or VI_NO_LOCK.
    ViAccessMode held() const;
    // The instrument's lock state, whoever holds it.
    ViAccessMode resource_state() const;
    // May this session talk to the instrument now? It may when it holds a
    // lock, or when no other session holds one.
    bool may_access() const;

    LockFile& file() { return *file_; }

  private:
    ViStatus lock_exclusive(Deadline deadline, CancelToken& token);
    ViStatus lock_shared(Deadline deadline, const std::string& requested, std::string& key,
                         CancelToken& token);
    ViStatus await_change(std::unique_lock<std::mutex>& guard, std::unique_ptr<LockWait>& wait,
                          Deadline deadline, CancelToken& token);
    // The lock the file holds for this session's counts; caller holds mutex_.
    void apply_counts();

    mutable std::mutex mutex_;
    std::unique_ptr<LockFile> file_;
    int exclusive_ = 0;
    int shared_ = 0;
    std::string key_;
};

}  // namespace sgvisa::lock
