// The environment handed to a child process: ours, with some variables
// replaced or added (e.g. XDG_RUNTIME_DIR pointing at a test's own bus).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sgtest {

class ChildEnvironment {
  public:
    explicit ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides);
    ChildEnvironment(const ChildEnvironment&) = delete;
    ChildEnvironment& operator=(const ChildEnvironment&) = delete;

    // NULL-terminated, for execve/posix_spawn; valid while this object lives.
    char** envp() { return pointers_.data(); }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

}  // namespace sgtest
