#include "process_wait.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace sgtest {
namespace {

int decode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int wait_for_exit(pid_t pid, std::chrono::milliseconds bound) {
    int status = 0;
    // A pidfd becomes readable when the process exits: block on it with the bound.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, static_cast<int>(bound.count()));
        } while (r < 0 && errno == EINTR);
        ::close(pidfd);
        if (r == 0)
            ::kill(pid, SIGKILL);
    }
    pid_t w;
    do {
        w = ::waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    return w == pid ? decode(status) : -1;
}

}  // namespace sgtest
