// What /proc tells about other processes: their command names and which of
// them have a file open. Only processes whose entries this user may read are
// seen (the user's own, as a rule).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sgvisa_tool {

struct ProcessName {
    pid_t pid = 0;
    std::string command;  // /proc/<pid>/comm, "" when unreadable
};

// The command name of `pid` under the proc root `proc`.
std::string command_of(const std::string& proc, pid_t pid);

// The processes with a descriptor on `path` (compared as the kernel names
// the file), in ascending pid order, this process left out.
std::vector<pid_t> processes_with_open(const std::string& proc, const std::string& path);

// `pids` with their command names.
std::vector<ProcessName> named(const std::string& proc, const std::vector<pid_t>& pids);

// "process 123 (sgdemo)" or "processes 123 (sgdemo), 456 (python3)".
std::string describe_processes(const std::vector<ProcessName>& processes);

}  // namespace sgvisa_tool
