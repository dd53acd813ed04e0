#include "lock/lock_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "proto/bus_directory.h"

namespace sgvisa::lock {
namespace {

// The strongest lock any descriptor but `fd`'s holds on `byte`.
short probe(int fd, LockFile::Byte byte) {
    flock f{};
    f.l_type = F_WRLCK;
    f.l_whence = SEEK_SET;
    f.l_start = byte;
    f.l_len = 1;
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_GETLK, &f);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? f.l_type : F_UNLCK;
}

bool all_digits(const char* s) {
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

void add_pid(LockHolding& holding, pid_t pid) {
    if (std::find(holding.pids.begin(), holding.pids.end(), pid) == holding.pids.end())
        holding.pids.push_back(pid);
}

// Credits `pid` with the locks that the fdinfo of one of its descriptors on
// the lock file lists. A line reads
//   lock:\t1: OFDLCK ADVISORY  WRITE -1 fe:00:10953164 1 1
// (id, kind, mode, type, pid, device:inode, first byte, last byte or EOF).
void read_fdinfo(const std::string& path, pid_t pid, LockHolders& out) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("lock:", 0) != 0)
            continue;
        std::istringstream fields(line.substr(5));
        std::string id, kind, mode, type, owner, inode, first, last;
        if (!(fields >> id >> kind >> mode >> type >> owner >> inode >> first >> last))
            continue;
        const long long from = std::atoll(first.c_str());
        const long long to = last == "EOF" ? -1 : std::atoll(last.c_str());
        const auto covers = [&](long long byte) { return from <= byte && (to < 0 || byte <= to); };
        if (covers(LockFile::visa_lock))
            add_pid(type == "WRITE" ? out.exclusive : out.shared, pid);
        if (covers(LockFile::access) && type == "WRITE")
            add_pid(out.access, pid);
    }
}

// Every process's descriptors on the file (device, inode) that this user may
// look at.
void find_holders(dev_t dev, ino_t ino, LockHolders& out) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return;
    while (const dirent* p = ::readdir(proc)) {
        if (!all_digits(p->d_name))
            continue;
        const std::string base = std::string("/proc/") + p->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (fds == nullptr)
            continue;  // another user's, or gone
        const auto pid = static_cast<pid_t>(std::atol(p->d_name));
        while (const dirent* f = ::readdir(fds)) {
            if (!all_digits(f->d_name))
                continue;
            struct stat st {};
            if (::stat((base + "/fd/" + f->d_name).c_str(), &st) != 0 || st.st_dev != dev ||
                st.st_ino != ino)
                continue;
            read_fdinfo(base + "/fdinfo/" + f->d_name, pid, out);
        }
        ::closedir(fds);
    }
    ::closedir(proc);
}

}  // namespace

LockHolders lock_holders(const InstrumentKey& key) {
    return lock_holders_of_file(instrument_lock_path(sgproto::bus_directory(), key));
}

LockHolders lock_holders_of_file(const std::string& path) {
    LockHolders out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        out.known = errno == ENOENT;
        return out;
    }
    const short visa = probe(fd, LockFile::visa_lock);
    out.exclusive.held = visa == F_WRLCK;
    out.shared.held = visa == F_RDLCK;
    out.access.held = probe(fd, LockFile::access) == F_WRLCK;
    struct stat st {};
    if ((out.exclusive.held || out.shared.held || out.access.held) && ::fstat(fd, &st) == 0)
        find_holders(st.st_dev, st.st_ino, out);
    ::close(fd);
    // The probe says what is held, the scan only names holders: a lock
    // taken between the two is not reported, one let go meanwhile may be
    // reported without a holder.
    for (LockHolding* h : {&out.exclusive, &out.shared, &out.access}) {
        if (!h->held)
            h->pids.clear();
        std::sort(h->pids.begin(), h->pids.end());
    }
    return out;
}

}  // namespace sgvisa::lock
