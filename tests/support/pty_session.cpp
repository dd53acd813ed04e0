#include "pty_session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace sgtest {

PtySession::PtySession(const std::string& program, const PtyOptions& options)
    : terminal_(options.rows, options.cols) {
    if (!terminal_.ok()) {
        error_ = terminal_.error();
        return;
    }
    settings_at_start_ = terminal_.settings();
    ChildProcess::Options child;
    child.argv = {program};
    child.argv.insert(child.argv.end(), options.args.begin(), options.args.end());
    child.env = options.env;
    child.terminal = terminal_.slave();
    child.default_signals = true;
    if (!child_.start(child))
        error_ = child_.error();
    // The screen ends when the program and what it left behind close it.
    terminal_.close_slave();
}

int PtySession::wait_exit(std::chrono::milliseconds bound) {
    if (!child_.started() || child_.reaped())
        return child_.exit_code();
    const auto deadline = Clock::now() + bound;
    // Wait for the exit, collecting output meanwhile. Without a pidfd (kernels
    // before 5.3) the end of the output stands for the exit.
    for (bool exited = false; !exited;) {
        pollfd fds[2] = {{child_.exit_fd(), POLLIN, 0},
                         {terminal_.at_end() ? -1 : terminal_.master(), POLLIN, 0}};
        const int r = ::poll(fds, 2, ms_until(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return child_.wait(std::chrono::milliseconds(0));  // kills it: timed out
        if (fds[1].revents != 0)
            terminal_.read_some(Clock::now());
        exited = (fds[0].revents & POLLIN) != 0 || (child_.exit_fd() < 0 && terminal_.at_end());
    }
    // Output written just before the exit may still be on its way through the
    // terminal: read on to its end (EIO), but not for long, in case something
    // the program left behind still holds the terminal.
    const auto drain_deadline = std::min(deadline, Clock::now() + std::chrono::seconds(2));
    while (terminal_.read_some(drain_deadline)) {
    }
    return child_.wait(bound);
}

}  // namespace sgtest
