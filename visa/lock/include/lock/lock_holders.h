// Who holds an instrument's locks: for a lister or a failure's explanation,
// read from outside (it takes no lock and creates no lock file).
//
// The locks are open-file-description locks on the instrument's lock file
// (lock_file.h), whose holders the kernel does not name (F_OFD_GETLK gives
// no pid): the holders are the processes with a descriptor on the file
// whose /proc/<pid>/fdinfo lists the lock. Only processes whose /proc
// entries this user may read are seen (the user's own, as a rule); a lock
// may therefore be held with no holder named.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "lock/lock_file.h"

namespace sgvisa::lock {

struct LockHolding {
    bool held = false;
    std::vector<pid_t> pids;  // ascending, each once; may be empty while held
};

struct LockHolders {
    // False when the lock file exists but could not be read: nothing is
    // known then. A lock file that does not exist means no lock is held.
    bool known = true;
    LockHolding exclusive;  // the exclusive VISA lock (viLock, viOpen's lock)
    LockHolding shared;     // the shared VISA lock, one pid per sharing process
    LockHolding access;     // the access lock of the process talking to it now
};

// The locks on the instrument `key`, whose lock file is in this user's bus
// directory.
LockHolders lock_holders(const InstrumentKey& key);

// The locks on the lock file at `path`.
LockHolders lock_holders_of_file(const std::string& path);

}  // namespace sgvisa::lock
