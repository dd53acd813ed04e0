#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "process_wait.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

SimProcess::SimProcess(const std::string& runtime_dir, const std::string& serial,
                       const std::vector<std::string>& extra_args) {
    log_path_ = runtime_dir + "/received-" + serial + ".log";
    const std::string binary = std::string(SG_BIN_DIR) + "/sgsim";
    std::vector<std::string> args = {binary, "--serial", serial, "--log", log_path_};
    args.insert(args.end(), extra_args.begin(), extra_args.end());

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    stdout_fd_ = fds[0];
    if (pid_ < 0)
        return;

    // Wait for the ready line, which names the VISA resource.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string out;
    while (out.find('\n') == std::string::npos) {
        pollfd p{stdout_fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        char buf[512];
        const ssize_t n = ::read(stdout_fd_, buf, sizeof buf);
        if (n <= 0)
            return;
        out.append(buf, static_cast<size_t>(n));
    }
    const auto nl = out.find('\n');
    ready_line_ = out.substr(0, nl);
    pending_ = out.substr(nl + 1);
    ready_ = ready_line_.find("::INSTR") != std::string::npos;
}

SimProcess::~SimProcess() {
    if (pid_ > 0 && exit_status_ < 0) {
        ::kill(pid_, SIGKILL);
        wait_for_exit(pid_, std::chrono::seconds(5));
    }
    if (stdout_fd_ >= 0)
        ::close(stdout_fd_);
}

std::vector<std::string> SimProcess::received() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string SimProcess::read_stdout_until_eof(std::chrono::milliseconds bound) {
    std::string out;
    const auto deadline = Clock::now() + bound;
    for (;;) {
        pollfd p{stdout_fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[512];
        const ssize_t n = ::read(stdout_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string SimProcess::stop() {
    if (pid_ <= 0 || exit_status_ >= 0)
        return {};
    ::kill(pid_, SIGTERM);
    std::string out = pending_ + read_stdout_until_eof(std::chrono::seconds(5));
    pending_.clear();
    exit_status_ = wait_for_exit(pid_, std::chrono::seconds(5));
    return out;
}

}  // namespace sgtest
