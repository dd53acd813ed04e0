#include "node_close_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace sgvisa {

NodeCloseWatch::NodeCloseWatch(const std::string& path) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

NodeCloseWatch::~NodeCloseWatch() {
    if (fd_ >= 0)
        ::close(fd_);
}

NodeCloseWatch::Wake NodeCloseWatch::wait(Deadline deadline, int cancel_fd) {
    for (;;) {
        const int ms = ms_until(deadline);
        if (ms <= 0)
            return Wake::deadline;
        // A negative descriptor is ignored by poll().
        std::array<pollfd, 2> fds{{{cancel_fd, POLLIN, 0}, {fd_, POLLIN, 0}}};
        const int n = ::poll(fds.data(), fds.size(), ms);
        if (n < 0 && errno != EINTR)
            return Wake::deadline;
        if (n <= 0)
            continue;
        if (fds[0].revents != 0)
            return Wake::cancelled;
        if (fds[1].revents != 0) {
            std::array<char, 4096> events;
            while (::read(fd_, events.data(), events.size()) > 0) {
            }
            return Wake::closed;
        }
    }
}

}  // namespace sgvisa
