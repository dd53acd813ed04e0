#include "sim_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>

#include "child_environment.h"
#include "process_wait.h"

namespace sgfault {

using namespace std::chrono_literals;

SimChild::SimChild(const std::string& runtime_dir, const std::string& log,
                   const std::vector<std::string>& extra) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> args = {SG_BIN_DIR "/sgsim", "--serial", "SIM001", "--log", log};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    sgtest::ChildEnvironment environment({{"XDG_RUNTIME_DIR", runtime_dir}});

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int rc =
        ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environment.envp());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (seen.find(" ready\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return;
        char buf[256];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0)
            return;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    ready_ = true;
}

SimChild::~SimChild() {
    if (pid_ > 0)
        kill_and_wait(SIGKILL);
    if (out_ >= 0)
        ::close(out_);
}

int SimChild::kill_and_wait(int sig) {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, sig);
    const int status = sgtest::wait_for_exit(pid_, 20s);
    pid_ = -1;
    return status;
}

std::vector<std::string> read_log(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool wait_for_log_lines(const std::string& path, std::size_t n, std::chrono::milliseconds bound) {
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return false;
    // sgsim creates the log before its ready line, so the file exists.
    const bool watching = ::inotify_add_watch(fd, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE) >= 0;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool found = false;
    while (watching) {
        if (read_log(path).size() >= n) {
            found = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char events[4096];
        while (::read(fd, events, sizeof events) > 0) {
        }
    }
    ::close(fd);
    return found;
}

}  // namespace sgfault
