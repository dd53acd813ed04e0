#include "child_environment.h"

extern char** environ;

namespace sgtest {

ChildEnvironment::ChildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : overrides)
            replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            strings_.push_back(entry);
    }
    for (const auto& [name, value] : overrides)
        strings_.push_back(name + "=" + value);
    for (std::string& s : strings_)
        pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
}

}  // namespace sgtest
