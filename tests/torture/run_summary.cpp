#include "run_summary.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "status_names.h"

namespace torture {

void print_summary(const Board& board, const std::string& work_dir, const Options& options,
                   int rounds, std::uint32_t workers, int kills) {
    // Each violation is a line of the tally, reported or not.
    std::ifstream tally(work_dir + "/tally");
    std::map<std::string, int> counts;
    for (std::string line; std::getline(tally, line);)
        ++counts[line];
    if (!counts.empty()) {
        std::printf("\nviolations by invariant:\n");
        for (const auto& [invariant, n] : counts)
            std::printf("%8d  %s\n", n, invariant.c_str());
    }
    std::printf("\n%-22s %8s", "call", "calls");
    for (int c = 0; c < kStatusClassCount; ++c)
        std::printf(" %9s", status_class_name(c));
    std::printf("\n");
    for (int f = 0; f < kFunctionCount; ++f) {
        std::uint64_t total = 0;
        for (int c = 0; c < kStatusClassCount; ++c)
            total += board.calls[f][c].load();
        if (total == 0)
            continue;
        std::printf("%-22s %8llu", function_name(f), static_cast<unsigned long long>(total));
        for (int c = 0; c < kStatusClassCount; ++c)
            std::printf(" %9llu", static_cast<unsigned long long>(board.calls[f][c].load()));
        std::printf("\n");
    }
    std::printf("\n%d rounds, %u worker processes (%d killed), %d threads each; seed %llu\n",
                rounds, workers, kills, options.threads,
                static_cast<unsigned long long>(options.seed));
}

void print_reports(const std::string& work_dir) {
    DIR* d = ::opendir(work_dir.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("violation-", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".txt") == 0)
            names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::ifstream in(work_dir + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        std::printf("\n%s", text.str().c_str());
    }
}

}  // namespace torture
