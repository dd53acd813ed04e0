#include "instrument_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "bus_directory.h"

namespace sgvisa {
namespace {

// Lock file names stay well below NAME_MAX; longer escaped serial numbers are
// shortened and made unique again with a hash of the whole folded serial.
constexpr std::size_t kMaxEscapedSerial = 200;

// The kernel reports the close of a file (IN_CLOSE_*) just before it drops
// the file's flock, so a waiter woken by the report can still find the lock
// held for a moment. After each report it re-checks a few times at growing
// intervals (1, 2, 4, 8, 16 ms) before waiting for the next report again.
constexpr int kSettleChecks = 5;

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string escaped_serial(const std::string& serial) {
    std::string folded;
    for (char c : serial)
        folded += fold(c);
    std::string out;
    for (char c : folded) {
        const bool plain =
            (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (plain) {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    if (out.size() > kMaxEscapedSerial) {
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (char c : folded) {
            h ^= static_cast<unsigned char>(c);
            h *= 1099511628211ull;
        }
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(h));
        out.resize(kMaxEscapedSerial - 17);
        out += suffix;
    }
    return out;
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

ViStatus open_lock_file(const InstrumentKey& key, std::string& path, int& out) {
    std::string error;
    const std::string dir = sgproto::bus_directory();
    if (!sgproto::ensure_bus_directory(error)) {
        // There but unsafe to use, or not creatable at all.
        struct stat st {};
        return lstat(dir.c_str(), &st) == 0 ? VI_ERROR_NPERMISSION : VI_ERROR_SYSTEM_ERROR;
    }
    path = instrument_lock_path(dir, key);
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == EACCES ? VI_ERROR_NPERMISSION : VI_ERROR_SYSTEM_ERROR;
    out = fd;
    return VI_SUCCESS;
}

// flock() without waiting: 1 taken, 0 held by another, -1 error.
int try_flock(int fd, int operation) {
    int rc;
    do {
        rc = flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return 1;
    return errno == EWOULDBLOCK ? 0 : -1;
}

void drain(int inotify_fd) {
    alignas(inotify_event) char buf[4096];
    while (read(inotify_fd, buf, sizeof buf) > 0) {
    }
}

// Waits for the exclusive lock on `fd` (whose file is `path`) until `deadline`.
ViStatus wait_for_lock(int fd, const std::string& path, Deadline deadline) {
    Fd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch.get() < 0)
        return VI_ERROR_SYSTEM_ERROR;
    if (inotify_add_watch(watch.get(), path.c_str(), IN_CLOSE) < 0)
        return VI_ERROR_SYSTEM_ERROR;

    int settle_left = 0;
    int settle_ms = 1;
    while (true) {
        // Tried again after arming the watch: a release between the first
        // attempt and the watch is not lost.
        const int got = try_flock(fd, LOCK_EX);
        if (got == 1)
            return VI_SUCCESS;
        if (got < 0)
            return VI_ERROR_SYSTEM_ERROR;

        int wait_ms = ms_until(deadline);
        if (wait_ms == 0)
            return VI_ERROR_RSRC_LOCKED;
        if (settle_left > 0)
            wait_ms = std::min(wait_ms, settle_ms);

        pollfd p{watch.get(), POLLIN, 0};
        const int rc = poll(&p, 1, wait_ms);
        if (rc < 0 && errno != EINTR)
            return VI_ERROR_SYSTEM_ERROR;
        if (rc > 0) {
            drain(watch.get());
            settle_left = kSettleChecks;
            settle_ms = 1;
        } else if (rc == 0 && settle_left > 0) {
            --settle_left;
            settle_ms *= 2;
        }
    }
}

}  // namespace

std::string instrument_lock_path(const std::string& dir, const InstrumentKey& key) {
    char ids[24];
    std::snprintf(ids, sizeof ids, "lock-%04x-%04x-", key.vendor_id, key.product_id);
    return dir + "/" + ids + escaped_serial(key.serial);
}

InstrumentLock::~InstrumentLock() {
    if (fd_ >= 0)
        close(fd_);
}

ViStatus InstrumentLock::acquire_exclusive(const InstrumentKey& key, Deadline deadline,
                                           std::unique_ptr<InstrumentLock>& out) {
    std::string path;
    int raw = -1;
    ViStatus st = open_lock_file(key, path, raw);
    if (st != VI_SUCCESS)
        return st;
    Fd fd(raw);
    const int got = try_flock(fd.get(), LOCK_EX);
    if (got < 0)
        return VI_ERROR_SYSTEM_ERROR;
    if (got == 0) {
        st = wait_for_lock(fd.get(), path, deadline);
        if (st != VI_SUCCESS)
            return st;
    }
    out.reset(new InstrumentLock(fd.release()));
    return VI_SUCCESS;
}

ViStatus InstrumentLock::acquire_shared(const InstrumentKey& key,
                                        std::unique_ptr<InstrumentLock>& out) {
    std::string path;
    int raw = -1;
    const ViStatus st = open_lock_file(key, path, raw);
    if (st != VI_SUCCESS)
        return st;
    Fd fd(raw);
    const int got = try_flock(fd.get(), LOCK_SH);
    if (got < 0)
        return VI_ERROR_SYSTEM_ERROR;
    if (got == 0)
        return VI_ERROR_RSRC_LOCKED;
    out.reset(new InstrumentLock(fd.release()));
    return VI_SUCCESS;
}

}  // namespace sgvisa
