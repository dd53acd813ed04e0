// Seeing from outside that a process waits for an instrument lock: a waiter
// registers itself with a read lock on the lock file's waiters byte (which
// /proc/locks lists), and holds an inotify watch on the lock file while it
// blocks (which /proc/PID/fdinfo lists with the inode it watches).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace sgtest {

// The number of inotify watches process `pid` holds on the file at `path`.
int inotify_watches_on(pid_t pid, const std::string& path);

// Waits, at most `bound`, until process `pid` holds at least `count` watches
// on `path`. There is no event for a watch being added, so this looks again
// every millisecond.
bool wait_for_inotify_watches(pid_t pid, const std::string& path, int count,
                              std::chrono::milliseconds bound = std::chrono::seconds(10));

// The number of descriptors, of any process, registered as waiters on the
// lock file at `path`.
int lock_waiters_on(const std::string& path);

// Waits, at most `bound`, until at least `count` descriptors are registered
// as waiters on `path`; looks again every millisecond, as above.
bool wait_for_lock_waiters(const std::string& path, int count,
                           std::chrono::milliseconds bound = std::chrono::seconds(10));

// The lock file of the instrument with these IDs in the current bus directory.
std::string lock_file_of(unsigned vendor_id, unsigned product_id, const std::string& serial);

}  // namespace sgtest
