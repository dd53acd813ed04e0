#include "process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>

namespace sgvisa_tool {
namespace {

bool parse_pid(const char* name, pid_t& pid) {
    const std::string_view text(name);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() && pid > 0;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

}  // namespace

std::string command_of(const std::string& proc, pid_t pid) {
    const std::string path = proc + "/" + std::to_string(pid) + "/comm";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::array<char, 64> buf{};
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    ::close(fd);
    std::string text(buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

std::vector<pid_t> processes_with_open(const std::string& proc, const std::string& path) {
    std::vector<pid_t> pids;
    const pid_t self = ::getpid();
    for (const std::string& name : entries(proc)) {
        pid_t pid = 0;
        if (!parse_pid(name.c_str(), pid) || pid == self)
            continue;
        const std::string fd_dir = proc + "/" + name + "/fd";
        for (const std::string& fd : entries(fd_dir)) {
            std::array<char, 4096> target{};
            const ssize_t n =
                ::readlink((fd_dir + "/" + fd).c_str(), target.data(), target.size() - 1);
            if (n > 0 && std::string_view(target.data(), static_cast<std::size_t>(n)) == path) {
                pids.push_back(pid);
                break;
            }
        }
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::vector<ProcessName> named(const std::string& proc, const std::vector<pid_t>& pids) {
    std::vector<ProcessName> out;
    for (const pid_t pid : pids)
        out.push_back({pid, command_of(proc, pid)});
    return out;
}

std::string describe_processes(const std::vector<ProcessName>& processes) {
    std::string text = processes.size() == 1 ? "process " : "processes ";
    for (std::size_t i = 0; i < processes.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(processes[i].pid);
        if (!processes[i].command.empty())
            text += " (" + processes[i].command + ")";
    }
    return text;
}

}  // namespace sgvisa_tool
