#include "transport/process_descriptors.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace sgvisa {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<int> fds;
};

// Atomic: the fork handlers read it in whichever thread forks.
std::atomic<Registry*> g_registry{nullptr};

void lock_before_fork() {
    g_registry.load()->mutex.lock();
}
void unlock_after_fork() {
    g_registry.load()->mutex.unlock();
}
void close_in_child() {
    Registry* const r = g_registry.load();
    for (const int fd : r->fds)
        ::close(fd);
    r->fds.clear();
    r->mutex.unlock();
}

Registry& registry() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_registry = new Registry;  // never destroyed: descriptors may outlive static teardown
        ::pthread_atfork(lock_before_fork, unlock_after_fork, close_in_child);
    });
    return *g_registry.load();
}

}  // namespace

int open_process_descriptor(const std::function<int()>& open) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const int fd = open();
    if (fd >= 0)
        r.fds.push_back(fd);
    return fd;
}

int open_process_eventfd() {
    return open_process_descriptor([] { return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); });
}

void close_process_descriptor(int fd) {
    if (fd < 0)
        return;
    Registry& r = registry();
    // Under the lock, so that no fork sees it registered but closed (the
    // child would close whatever took its number).
    std::lock_guard lock(r.mutex);
    std::erase(r.fds, fd);
    ::close(fd);
}

}  // namespace sgvisa
