// The exclusive lock on an instrument, shared by every process of the user on
// this machine (VI_EXCLUSIVE_LOCK).
//
// Each instrument has a lock file in the bus directory (see
// bus_directory.h), named after its vendor ID, product ID and serial
// number folded to upper case, so names that differ only in the case of the
// serial number share one lock. The lock is a flock() on that file: the
// kernel drops it when the holder closes its descriptor or dies, so no stale
// lock outlives a process. Lock files are never deleted (deleting one would
// let two processes lock different files of the same name).
//
// A waiter blocks in poll() on an inotify watch for the file being closed,
// which is how a release (close or death of the holder) becomes visible; it
// never spins.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "deadline.h"
#include "visa.h"

namespace sgvisa {

struct InstrumentKey {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
};

// The lock file's path for `key` in `dir`.
std::string instrument_lock_path(const std::string& dir, const InstrumentKey& key);

// An open lock file; holds the exclusive lock when acquired exclusively.
class InstrumentLock {
  public:
    InstrumentLock(const InstrumentLock&) = delete;
    InstrumentLock& operator=(const InstrumentLock&) = delete;
    ~InstrumentLock();

    // Takes the exclusive lock, waiting for its holder until `deadline`.
    // VI_ERROR_RSRC_LOCKED when the deadline passes first;
    // VI_ERROR_NPERMISSION when the bus directory is unsafe;
    // VI_ERROR_SYSTEM_ERROR when a system call fails.
    static ViStatus acquire_exclusive(const InstrumentKey& key, Deadline deadline,
                                      std::unique_ptr<InstrumentLock>& out);

    // Checks, without waiting, that no session holds the exclusive lock, and
    // keeps a shared lock that makes exclusive openers wait while `out` lives.
    // VI_ERROR_RSRC_LOCKED when an exclusive lock is held.
    static ViStatus acquire_shared(const InstrumentKey& key, std::unique_ptr<InstrumentLock>& out);

  private:
    explicit InstrumentLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace sgvisa
