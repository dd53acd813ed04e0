#include "lock/lock_file.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "proto/bus_directory.h"
#include "transport/process_descriptors.h"

namespace sgvisa::lock {
namespace {

// Lock file names stay well below NAME_MAX; longer escaped serial numbers are
// shortened and made unique again with a hash of the whole folded serial.
constexpr std::size_t kMaxEscapedSerial = 200;

// The bytes written to wake waiters and to announce a new one (what is
// written there means nothing: the write is the signal).
constexpr off_t kWakeOffset = 8;
constexpr off_t kAnnounceOffset = 9;

// Where the shared lock's key lives in the file, and its longest length.
constexpr off_t kKeyOffset = 16;
constexpr std::size_t kMaxKey = 256;

// After a close report (a holder closing or dying) the kernel drops the
// closed descriptor's locks just after telling: a waiter looks again a few
// times at growing intervals (1, 2, 4, 8, 16 ms) before waiting for the next
// report.
constexpr int kSettleChecks = 5;
// Without a watch a waiter looks again after 1, 2, 4 ... ms, then every 32 ms.
constexpr int kMaxPaceMs = 32;

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

flock range(LockFile::Byte byte, short type) {
    flock f{};
    f.l_type = type;
    f.l_whence = SEEK_SET;
    f.l_start = byte;
    f.l_len = 1;
    return f;
}

int fcntl_retrying(int fd, int cmd, flock* f) {
    int rc;
    do {
        rc = ::fcntl(fd, cmd, f);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

InstrumentKey instrument_key(const ResourceName& name) {
    if (const auto* usb = std::get_if<UsbResourceName>(&name))
        return {usb->vendor_id, usb->product_id, usb->serial};
    return InstrumentKey::of_lan(canonical_name(name));
}

std::string instrument_lock_path(const std::string& dir, const InstrumentKey& key) {
    if (!key.lan.empty())
        return dir + "/lock-lan-" + escaped_serial(key.lan);
    char ids[24];
    std::snprintf(ids, sizeof ids, "lock-%04x-%04x-", key.vendor_id, key.product_id);
    return dir + "/" + ids + escaped_serial(key.serial);
}

ViStatus LockFile::check_directory() {
    std::string error;
    if (sgproto::ensure_bus_directory(error))
        return VI_SUCCESS;
    // There but unsafe to use, or not creatable at all.
    struct stat st {};
    return ::lstat(sgproto::bus_directory().c_str(), &st) == 0 ? VI_ERROR_NPERMISSION
                                                               : VI_ERROR_SYSTEM_ERROR;
}

ViStatus LockFile::open(const InstrumentKey& key, std::unique_ptr<LockFile>& out) {
    if (const ViStatus st = check_directory(); st != VI_SUCCESS)
        return st;
    std::string path = instrument_lock_path(sgproto::bus_directory(), key);
    int open_error = 0;
    const int fd = open_process_descriptor([&] {
        int opened;
        do {
            opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        } while (opened < 0 && errno == EINTR);
        open_error = errno;
        return opened;
    });
    if (fd < 0)
        return open_error == EACCES ? VI_ERROR_NPERMISSION : VI_ERROR_SYSTEM_ERROR;
    out.reset(new LockFile(fd, std::move(path)));
    return VI_SUCCESS;
}

LockFile::~LockFile() {
    close_process_descriptor(fd_);
}

bool LockFile::try_lock(Byte byte, short type) {
    flock f = range(byte, type);
    return fcntl_retrying(fd_, F_OFD_SETLK, &f) == 0;
}

void LockFile::unlock(Byte byte) {
    flock f = range(byte, F_UNLCK);
    fcntl_retrying(fd_, F_OFD_SETLK, &f);
}

short LockFile::held_by_others(Byte byte) const {
    flock f = range(byte, F_WRLCK);
    if (fcntl_retrying(fd_, F_OFD_GETLK, &f) != 0)
        return F_WRLCK;  // cannot tell: assume the worst
    return f.l_type;
}

void LockFile::write_key(const std::string& key) {
    std::vector<char> bytes(kMaxKey, '\0');
    std::copy_n(key.begin(), std::min(key.size(), kMaxKey - 1), bytes.begin());
    (void)!::pwrite(fd_, bytes.data(), bytes.size(), kKeyOffset);
}

std::string LockFile::read_key() const {
    std::vector<char> bytes(kMaxKey, '\0');
    const ssize_t n = ::pread(fd_, bytes.data(), bytes.size() - 1, kKeyOffset);
    if (n <= 0)
        return {};
    return std::string(bytes.data());
}

void LockFile::wake_waiters() {
    if (!others_wait())
        return;
    // A write is what the waiters' watches see (IN_MODIFY).
    const char zero = 0;
    (void)!::pwrite(fd_, &zero, 1, kWakeOffset);
}

LockWait::LockWait(LockFile& file, CancelToken& token) : file_(file), token_(token) {
    // Registered, then announced (a holder between operations sees the
    // write, finds the registration and lets go), then armed: a release
    // before the watch is armed is found by the caller's next attempt.
    file_.try_lock(LockFile::waiters, F_RDLCK);
    const char zero = 0;
    (void)!::pwrite(file_.fd(), &zero, 1, kAnnounceOffset);
    if (!borrow_wait_instance(instance_))
        return;
    watch_ = ::inotify_add_watch(instance_.inotify, file_.path().c_str(),
                                 IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (watch_ < 0) {
        return_wait_instance(instance_);
        return;
    }
    token_.attach(instance_.wake);
}

LockWait::~LockWait() {
    if (watch_ >= 0) {
        token_.detach();
        // Removing a watch does not wait for the kernel; the instance stays.
        ::inotify_rm_watch(instance_.inotify, watch_);
        return_wait_instance(instance_);
    }
    file_.unlock(LockFile::waiters);
}

bool LockWait::wait(Deadline deadline) {
    Deadline until = deadline;
    const auto now = Clock::now();
    if (watch_ < 0) {
        until = std::min(until, now + std::chrono::milliseconds(pace_ms_));
        pace_ms_ = std::min(pace_ms_ * 2, kMaxPaceMs);
    }
    if (settle_left_ > 0)
        until = std::min(until, now + std::chrono::milliseconds(settle_ms_));
    if (watch_ < 0) {
        const bool woken = token_.wait(until);
        if (!woken && settle_left_ > 0) {
            --settle_left_;
            settle_ms_ *= 2;
        }
        return Clock::now() < deadline;
    }
    std::array<pollfd, 2> fds{{{instance_.inotify, POLLIN, 0}, {instance_.wake, POLLIN, 0}}};
    const int rc = ::poll(fds.data(), fds.size(), ms_until(until));
    if (fds[1].revents != 0) {
        std::uint64_t count = 0;
        (void)!::read(instance_.wake, &count, sizeof count);
    }
    bool closed = false;
    if (fds[0].revents != 0) {
        alignas(inotify_event) std::array<char, 4096> buf;
        ssize_t n;
        while ((n = ::read(instance_.inotify, buf.data(), buf.size())) > 0) {
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf.data() + off);
                closed = closed || (e->mask & IN_CLOSE) != 0;
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }
    if (closed) {
        settle_left_ = kSettleChecks;
        settle_ms_ = 1;
    } else if (rc == 0 && settle_left_ > 0) {
        --settle_left_;
        settle_ms_ *= 2;
    }
    return Clock::now() < deadline;
}

ViStatus lock_waiting(LockFile& file, LockFile::Byte byte, Deadline deadline, CancelToken& token,
                      const std::function<bool()>* keep_waiting) {
    std::unique_ptr<LockWait> wait;
    for (;;) {
        if (file.try_lock(byte, F_WRLCK))
            return VI_SUCCESS;
        if (token.cancelled())
            return VI_ERROR_ABORT;
        if (keep_waiting != nullptr && !(*keep_waiting)())
            return VI_ERROR_RSRC_LOCKED;
        if (!wait) {
            if (Clock::now() >= deadline)
                return VI_ERROR_TMO;
            // Armed before the next attempt: a release in between is not missed.
            wait = std::make_unique<LockWait>(file, token);
            continue;
        }
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        wait->wait(deadline);
    }
}

}  // namespace sgvisa::lock
