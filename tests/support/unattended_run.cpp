#include "unattended_run.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <vector>

#include "child_environment.h"
#include "process_wait.h"

namespace sgtest {

Unattended run_without_terminal(const std::string& program_path, const std::string& input,
                                const std::string& runtime_dir, std::chrono::milliseconds bound,
                                const std::vector<std::string>& args) {
    Unattended result;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        result.output = "pipe2 failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);

    ChildEnvironment environment({{"XDG_RUNTIME_DIR", runtime_dir}});
    std::vector<std::string> strings{program_path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : strings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, program_path.c_str(), &actions, &attr, argv.data(), environment.envp());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        result.output = "posix_spawn failed: " + std::to_string(rc);
        ::close(in[1]);
        ::close(out[0]);
        return result;
    }
    // Small inputs fit the pipe; closing it is the end of input.
    if (!input.empty() &&
        ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        result.output = "writing the input failed; ";
    ::close(in[1]);

    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    result.status = wait_for_exit(pid, bound);
    return result;
}

}  // namespace sgtest
