#include "sim_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "clock.h"

namespace torture {
namespace {

int decode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Reads from `fd` until `done` says so or `bound_ms` pass.
template <typename Done>
void read_until(int fd, std::string& out, int bound_ms, Done done) {
    const std::int64_t start = now_ns();
    while (!done()) {
        const int left = bound_ms - static_cast<int>(ms_since(start));
        if (left <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace

bool sim_offers_quirk(const std::string& binary, const std::string& name) {
    FILE* help = ::popen(("'" + binary + "' --help 2>/dev/null").c_str(), "r");
    if (help == nullptr)
        return false;
    std::string text;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, help)) > 0)
        text.append(buf, n);
    const int status = ::pclose(help);
    return status == 0 && text.find(name) != std::string::npos;
}

SimInstance::SimInstance(const std::string& binary, const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> argv_text = {binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& a : argv_text)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    stdout_fd_ = fds[0];
    if (pid_ < 0)
        return;
    std::string out;
    read_until(stdout_fd_, out, 10000, [&] { return out.find('\n') != std::string::npos; });
    const auto nl = out.find('\n');
    if (nl == std::string::npos)
        return;
    const std::string line = out.substr(0, nl);
    pending_ = out.substr(nl + 1);
    // "sgsim: <resource> ready"
    const auto start = line.find("USB");
    const auto end = line.find("::INSTR");
    if (start != std::string::npos && end != std::string::npos)
        resource_ = line.substr(start, end + 7 - start);
}

SimInstance::~SimInstance() {
    if (pid_ > 0 && exit_status_ < 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (stdout_fd_ >= 0)
        ::close(stdout_fd_);
}

bool SimInstance::alive() {
    if (pid_ <= 0 || exit_status_ >= 0)
        return false;
    int status = 0;
    const pid_t w = ::waitpid(pid_, &status, WNOHANG);
    if (w == pid_) {
        exit_status_ = decode(status);
        return false;
    }
    return true;
}

int SimInstance::stop(std::string& out) {
    if (!alive())
        return exit_status_;
    ::kill(pid_, SIGTERM);
    out = pending_;
    read_until(stdout_fd_, out, 5000, [] { return false; });
    // Its end of the pipe closed; its exit follows, bounded by a pidfd.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        if (::poll(&p, 1, 5000) == 0)
            ::kill(pid_, SIGKILL);
        ::close(pidfd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_)
        exit_status_ = decode(status);
    return exit_status_;
}

}  // namespace torture
