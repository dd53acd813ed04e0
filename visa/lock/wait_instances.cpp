#include "lock/wait_instances.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sgvisa::lock {
namespace {

struct Pool {
    std::mutex mutex;
    std::vector<WaitInstance> all;
    std::vector<WaitInstance> free;
};

// Atomic: the fork handlers read it in whichever thread forks.
std::atomic<Pool*> g_pool{nullptr};

Pool& pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pool = new Pool;  // never destroyed: waits may outlive static teardown
        ::pthread_atfork([] { g_pool.load()->mutex.lock(); }, [] { g_pool.load()->mutex.unlock(); },
                         [] {
                             // The parent's: its waits keep using them.
                             Pool* const p = g_pool.load();
                             for (const WaitInstance& i : p->all) {
                                 ::close(i.inotify);
                                 ::close(i.wake);
                             }
                             p->all.clear();
                             p->free.clear();
                             p->mutex.unlock();
                         });
    });
    return *g_pool.load();
}

void drain(int fd) {
    alignas(inotify_event) std::array<char, 4096> buf;
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
}

}  // namespace

bool borrow_wait_instance(WaitInstance& out) {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    if (p.free.empty()) {
        WaitInstance made;
        made.inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (made.inotify < 0)
            return false;
        made.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (made.wake < 0) {
            ::close(made.inotify);
            return false;
        }
        p.all.push_back(made);
        p.free.push_back(made);
    }
    out = p.free.back();
    p.free.pop_back();
    return true;
}

void return_wait_instance(const WaitInstance& instance) {
    drain(instance.inotify);  // IN_IGNORED of the removed watches, and any late events
    drain(instance.wake);
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    p.free.push_back(instance);
}

}  // namespace sgvisa::lock
