// An instrument's lock file: one file per instrument in the bus directory,
// shared by every process of the user, whose bytes carry open-file-description
// locks (a descriptor's locks go when it is closed or its process dies, so no
// stale lock outlives its holder):
//
//   byte 0, the VISA lock: write-locked by the session that holds the
//           exclusive lock, read-locked by each session of a shared lock;
//           the shared lock's key is kept in the file's contents.
//   byte 1, the access lock: write-locked by the process that talks to the
//           instrument now (for one operation, for as long as one of its
//           sessions holds the exclusive lock, or between its operations
//           until another descriptor waits: see DeviceConnection).
//   byte 2, waiters: read-locked by each descriptor waiting for a change, so
//           that a releaser knows whether to wake anybody. A new waiter
//           announces itself by writing to the file, which wakes a process
//           that keeps the access lock between operations.
//
// Lock files are named after the vendor ID, product ID and serial number
// folded to upper case (names that differ only in the case of the serial
// number share one), or for a LAN instrument after its canonical resource
// name, folded likewise, and are never deleted (deleting one would let two
// processes lock different files of the same name). So that they cannot pile
// up, one is made only for an instrument that was found: an opener checks the
// directory (check_directory), reaches the instrument, and only then opens
// its lock file; a failed open of an instrument that is not there (a
// mistyped serial number) leaves nothing behind, and the directory holds at
// most one file for each instrument the user has opened.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "lock/wait_instances.h"
#include "transport/cancel_token.h"
#include "transport/deadline.h"
#include "transport/resource_name.h"
#include "visa.h"

namespace sgvisa::lock {

struct InstrumentKey {
    InstrumentKey(std::uint16_t vendor, std::uint16_t product, std::string serial_number)
        : vendor_id(vendor), product_id(product), serial(std::move(serial_number)) {}
    static InstrumentKey of_lan(std::string canonical) {
        InstrumentKey key(0, 0, {});
        key.lan = std::move(canonical);
        return key;
    }

    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
    std::string lan;  // a LAN instrument's canonical resource name; USB when empty
};

// The key of the instrument `name` designates: a USB instrument by its IDs
// and serial number, a LAN one by its canonical resource name.
InstrumentKey instrument_key(const ResourceName& name);

// The lock file's path for `key` in `dir`.
std::string instrument_lock_path(const std::string& dir, const InstrumentKey& key);

class LockFile {
  public:
    enum Byte : short { visa_lock = 0, access = 1, waiters = 2 };

    // Makes the bus directory if it is missing: VI_SUCCESS when lock files
    // can be kept there, else the status open() would give for it. Checked
    // before the instrument is reached, open() after it has been found.
    static ViStatus check_directory();

    // Opens (creating) the lock file of `key` in the bus directory: only for
    // an instrument that has been found. VI_ERROR_NPERMISSION when the
    // directory or file may not be used, VI_ERROR_SYSTEM_ERROR when it cannot
    // be made.
    static ViStatus open(const InstrumentKey& key, std::unique_ptr<LockFile>& out);

    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Takes (or converts to) a read (F_RDLCK) or write (F_WRLCK) lock on
    // `byte` without waiting: true when taken, false when another descriptor
    // holds a conflicting one.
    bool try_lock(Byte byte, short type);
    void unlock(Byte byte);
    // The strongest lock other descriptors hold on `byte`: F_UNLCK, F_RDLCK
    // or F_WRLCK.
    short held_by_others(Byte byte) const;

    // The shared lock's key, kept after the lock bytes.
    void write_key(const std::string& key);
    std::string read_key() const;

    // Wakes the descriptors waiting for a change, if there are any. Called
    // after an unlock, so that a woken waiter finds the lock free.
    void wake_waiters();
    // Whether another descriptor is registered as a waiter.
    bool others_wait() const { return held_by_others(waiters) != F_UNLCK; }

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    LockFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

// Waiting for another descriptor to change a lock file's locks. While it
// lives, the wait is registered and announced (so releasers, and a holder
// keeping the access lock between operations, wake it) and an inotify watch
// on the file is armed, on an instance lent to this wait (wait_instances.h):
// create it before the last attempt that may fail, then wait() and try
// again. Never spins: it blocks on the watch and on `token` (wake, cancel),
// and only after a close (a holder's death, whose lock the kernel drops just
// after reporting the close) does it look again a few times at growing
// intervals. Without a watch (the user's inotify instances are used up) it
// looks again at growing intervals of at most 32 ms, so a release is still
// seen within milliseconds.
class LockWait {
  public:
    LockWait(LockFile& file, CancelToken& token);
    ~LockWait();
    LockWait(const LockWait&) = delete;
    LockWait& operator=(const LockWait&) = delete;

    bool armed() const { return watch_ >= 0; }
    // Blocks until something may have changed, the token is woken or
    // cancelled, or `deadline` passes (false).
    bool wait(Deadline deadline);

  private:
    LockFile& file_;
    CancelToken& token_;
    WaitInstance instance_;
    int watch_ = -1;
    int settle_left_ = 0;
    int settle_ms_ = 1;
    int pace_ms_ = 1;  // without a watch
};

// Takes a write lock on `byte` of `file`, waiting for other descriptors until
// `deadline`; the waits block on `token`. VI_ERROR_ABORT once `token` is
// cancelled. Before each wait `keep_waiting` (if given) may end it: the
// answer is then VI_ERROR_RSRC_LOCKED. VI_ERROR_TMO when the deadline passes.
// A deadline already past makes it one try, which announces no waiter (a
// holder that only keeps the byte between operations keeps it).
ViStatus lock_waiting(LockFile& file, LockFile::Byte byte, Deadline deadline, CancelToken& token,
                      const std::function<bool()>* keep_waiting = nullptr);

}  // namespace sgvisa::lock
