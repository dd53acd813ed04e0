#include "lock_file_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace sgvisa {

std::unique_ptr<LockFileWatch> LockFileWatch::start(const std::string& path,
                                                    std::function<void()> changed) {
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0)
        return nullptr;
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0 || ::inotify_add_watch(watch, path.c_str(), IN_MODIFY) < 0) {
        if (stop >= 0)
            ::close(stop);
        ::close(watch);
        return nullptr;
    }
    std::unique_ptr<LockFileWatch> w(new LockFileWatch(watch, stop, std::move(changed)));
    try {
        w->thread_ = std::thread([raw = w.get()] { raw->run(); });
    } catch (const std::system_error&) {
        return nullptr;  // the destructor closes the descriptors
    }
    return w;
}

LockFileWatch::LockFileWatch(int watch, int stop, std::function<void()> changed)
    : watch_(watch), stop_(stop), changed_(std::move(changed)) {}

LockFileWatch::~LockFileWatch() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        thread_.join();
    }
    ::close(stop_);
    ::close(watch_);
}

void LockFileWatch::run() {
    for (;;) {
        // Idle until a change or the stop: this thread has nothing else to
        // do, and the stop always comes (the destructor writes it).
        std::array<pollfd, 2> fds{{{watch_, POLLIN, 0}, {stop_, POLLIN, 0}}};
        const int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[1].revents != 0)
            return;
        alignas(inotify_event) std::array<char, 4096> events;
        while (::read(watch_, events.data(), events.size()) > 0) {
        }
        changed_();
    }
}

}  // namespace sgvisa
