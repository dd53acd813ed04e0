// sgdemo: drives a USB RF signal generator through VISA (see session_driver.h).
//
// SIGINT, SIGTERM and SIGHUP stop the run in whatever phase it is
// (run_stop.h). The handler only writes the signal's number into a pipe (a
// write is async-signal-safe; closing sessions is not); a thread of the
// program's own reads it and makes the stop request, which may close VISA
// sessions. Once the driver has finished, the process ends by the signal, so
// that its parent sees it ended by it (exit status 128 + the signal's number).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <thread>

#include "key_wait.h"
#include "run_stop.h"
#include "session_driver.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int g_signal_pipe[2] = {-1, -1};   // the handler writes, the watcher reads
int g_stopped_pipe[2] = {-1, -1};  // written once stopped, never read: the key wait polls it

extern "C" void on_stop_signal(int sig) {
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
    errno = saved_errno;
}

[[noreturn]] void end_by(int sig) {
    ::signal(sig, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);  // not reached: the default action of each ends the process
}

void end_now(int sig) {
    // The process is directed the signal, not this thread, which blocks it;
    // whichever thread takes it, its default action ends the whole process.
    ::signal(sig, SIG_DFL);
    ::kill(::getpid(), sig);
}

void watch_signals(RunStop& stop) {
    sigset_t all;
    sigemptyset(&all);
    for (int sig : kStopSignals)
        sigaddset(&all, sig);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::read(g_signal_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 1)
            return;
        stop.request(byte);
        const char mark = 1;
        [[maybe_unused]] const ssize_t w = ::write(g_stopped_pipe[1], &mark, 1);
    }
}

// A pipe whose ends are above the standard descriptors: one of those the
// program was started without (a closed standard input) must stay closed,
// not become a pipe end the serial-number read would block on.
bool make_pipe(int (&ends)[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    for (int& fd : ends) {
        if (fd > STDERR_FILENO)
            continue;
        const int above = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(fd);
        fd = above;
    }
    return ends[0] >= 0 && ends[1] >= 0;
}

// Installs the handlers and starts the watcher; false when the pipes could
// not be made (the run then goes without: the signals keep their default).
bool watch_stop_signals(RunStop& stop) {
    if (!make_pipe(g_signal_pipe) || !make_pipe(g_stopped_pipe))
        return false;
    // A full pipe must not block the handler: a signal then is one too many.
    ::fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK);
    ::fcntl(g_stopped_pipe[1], F_SETFL, O_NONBLOCK);
    std::thread(watch_signals, std::ref(stop)).detach();
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals) {
        struct sigaction previous {};
        ::sigaction(sig, nullptr, &previous);
        // A signal the process ignores (SIGHUP under nohup) stays ignored.
        if (previous.sa_handler != SIG_IGN)
            ::sigaction(sig, &sa, nullptr);
    }
    return true;
}

}  // namespace

int main() {
    // Output nobody reads any more (a closed pipe) must not kill the run
    // half way, with the generator's RF output on: the writes fail quietly
    // and the run goes on to its final reset and exit status 0.
    ::signal(SIGPIPE, SIG_IGN);
    static RunStop stop(end_now);  // the watcher thread uses it until the end
    const int stopped_fd = watch_stop_signals(stop) ? g_stopped_pipe[0] : -1;
    TerminalKeyWait keys("/dev/tty", stopped_fd);
    const int status = run_session(stdin, stdout, keys, stop);
    if (stop.requested())
        end_by(stop.signal());
    return status;
}
