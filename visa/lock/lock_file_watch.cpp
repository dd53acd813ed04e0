#include "lock/lock_file_watch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace sgvisa::lock {

struct LockFileWatch::Hub {
    struct Subscriber {
        std::uint64_t id;
        std::shared_ptr<std::function<void()>> changed;
    };

    std::mutex mutex;  // what follows
    std::condition_variable call_ended;
    int fd = -1;           // the inotify instance, never closed in this process
    bool reading = false;  // the thread runs
    std::thread::id reader;
    std::map<int, std::vector<Subscriber>> watches;  // by watch descriptor
    std::uint64_t next_id = 1;
    std::uint64_t calling = 0;  // the subscriber whose `changed` runs now
};

namespace {

using Hub = LockFileWatch::Hub;

constexpr std::uint32_t kEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

// This process's hub, made at its first need. A fork child forgets the one
// it inherited (whose thread does not run there, and whose mutex the fork
// caught held) and makes its own at its first need; the inherited one is
// never used again. Atomic: the fork handlers read it in whichever thread
// forks.
std::atomic<Hub*> g_hub{nullptr};
// Held while a hub is made, and across a fork.
std::mutex g_making;
bool g_fork_handlers = false;  // guarded by g_making

void lock_before_fork() {
    g_making.lock();
    if (Hub* h = g_hub.load())
        h->mutex.lock();
}
void unlock_after_fork() {
    if (Hub* h = g_hub.load())
        h->mutex.unlock();
    g_making.unlock();
}
void forget_in_child() {
    // Nothing allocated or freed here: the parent's other threads may have
    // held the allocator's locks at the fork. The child's copy of the
    // descriptor only goes: the instance stays the parent's, which still
    // holds it (closing it costs nothing then).
    if (Hub* h = g_hub.load(); h && h->fd >= 0)
        ::close(h->fd);
    g_hub = nullptr;
    g_making.unlock();
}

Hub& hub() {
    if (Hub* h = g_hub.load())
        return *h;
    std::lock_guard lock(g_making);
    if (!g_fork_handlers) {
        ::pthread_atfork(lock_before_fork, unlock_after_fork, forget_in_child);
        g_fork_handlers = true;
    }
    if (!g_hub.load())
        g_hub = new Hub;  // never destroyed: watches may outlive static teardown
    return *g_hub.load();
}

// The watch descriptors one batch of events is about.
using Seen = std::vector<int>;

void note(Seen& seen, int wd) {
    if (std::find(seen.begin(), seen.end(), wd) == seen.end())
        seen.push_back(wd);
}

// Calls the subscribers of each watch that saw events, one at a time and
// without the hub's lock; a subscriber removed meanwhile is skipped.
void dispatch(Hub& h, const Seen& seen, std::vector<std::uint64_t>& ids) {
    for (const int wd : seen) {
        ids.clear();
        {
            std::lock_guard lock(h.mutex);
            const auto it = h.watches.find(wd);
            if (it == h.watches.end())
                continue;
            for (const auto& s : it->second)
                ids.push_back(s.id);
        }
        for (const std::uint64_t id : ids) {
            std::shared_ptr<std::function<void()>> changed;
            {
                std::lock_guard lock(h.mutex);
                const auto it = h.watches.find(wd);
                if (it == h.watches.end())
                    break;
                for (const auto& s : it->second) {
                    if (s.id == id)
                        changed = s.changed;
                }
                if (!changed)
                    continue;
                h.calling = id;
            }
            (*changed)();
            std::lock_guard lock(h.mutex);
            h.calling = 0;
            h.call_ended.notify_all();
        }
    }
}

[[noreturn]] void read_events(Hub* h) {
    const int fd = h->fd;
    // Allocated now, not when the first change comes: a thread's first
    // allocation sets up its memory arena, which takes a while.
    Seen seen;
    seen.reserve(16);
    std::vector<std::uint64_t> ids;
    ids.reserve(16);
    for (;;) {
        // Idle until a change: the thread has nothing else to do, and lives
        // as long as the process.
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0)
            continue;  // EINTR
        alignas(inotify_event) std::array<char, 4096> buf;
        seen.clear();
        bool overflow = false;
        ssize_t n;
        while ((n = ::read(fd, buf.data(), buf.size())) > 0) {
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf.data() + off);
                if (e->mask & IN_Q_OVERFLOW)
                    overflow = true;
                else if ((e->mask & IN_IGNORED) == 0)
                    note(seen, e->wd);
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        if (overflow) {
            // Events were lost: every watch may have missed one.
            std::lock_guard lock(h->mutex);
            for (const auto& w : h->watches)
                note(seen, w.first);
        }
        dispatch(*h, seen, ids);
    }
}

// Starts the reading thread if it does not run; caller holds h.mutex.
bool ensure_reader(Hub& h) {
    if (h.reading)
        return true;
    try {
        std::thread t(read_events, &h);
        ::pthread_setname_np(t.native_handle(), "sgvisa-watch");
        h.reader = t.get_id();
        t.detach();
    } catch (const std::system_error&) {
        return false;
    }
    h.reading = true;
    return true;
}

}  // namespace

std::unique_ptr<LockFileWatch> LockFileWatch::start(const std::string& path,
                                                    std::function<void()> changed) {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    if (h.fd < 0) {
        // Tried again at every start: the user's limit may have room again.
        h.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (h.fd < 0)
            return nullptr;
    }
    if (!ensure_reader(h))
        return nullptr;
    // A file watched already keeps its watch descriptor.
    const int wd = ::inotify_add_watch(h.fd, path.c_str(), kEvents);
    if (wd < 0)
        return nullptr;
    const std::uint64_t id = h.next_id++;
    h.watches[wd].push_back({id, std::make_shared<std::function<void()>>(std::move(changed))});
    return std::unique_ptr<LockFileWatch>(new LockFileWatch(&h, wd, id));
}

LockFileWatch::~LockFileWatch() {
    Hub& h = *hub_;
    if (&h != g_hub)
        return;  // inherited from the parent process: only forgotten
    std::unique_lock lock(h.mutex);
    const auto it = h.watches.find(wd_);
    if (it != h.watches.end()) {
        std::erase_if(it->second, [this](const Hub::Subscriber& s) { return s.id == id_; });
        if (it->second.empty()) {
            h.watches.erase(it);
            ::inotify_rm_watch(h.fd, wd_);  // no grace period: the instance stays
        }
    }
    if (std::this_thread::get_id() != h.reader)
        h.call_ended.wait(lock, [&] { return h.calling != id_; });
}

}  // namespace sgvisa::lock
