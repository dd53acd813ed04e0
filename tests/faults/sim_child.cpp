#include "sim_child.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>

namespace sgfault {

using namespace std::chrono_literals;

SimChild::SimChild(const std::string& runtime_dir, const std::string& log,
                   const std::vector<std::string>& extra) {
    sgtest::ChildProcess::Options options;
    options.argv = {SG_BIN_DIR "/sgsim", "--serial", "SIM001", "--log", log};
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    options.env = {{"XDG_RUNTIME_DIR", runtime_dir}};
    options.out = sgtest::ChildProcess::kPipe;
    std::string seen;
    ready_ = child_.start(options) &&
             sgtest::read_until(child_.output(), sgtest::Clock::now() + 20s, seen, " ready\n");
}

int SimChild::kill_and_wait(int sig) {
    child_.signal(sig);
    return child_.wait(20s);
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
