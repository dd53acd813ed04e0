#include "stats.h"

#include <algorithm>
#include <cstdio>

namespace sgbench {

Summary summarize(std::vector<double> samples) {
    Summary s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t mid = samples.size() / 2;
    s.median = samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2;
    s.min = samples.front();
    s.max = samples.back();
    return s;
}

void print_figure(const std::string& name, double value, const std::string& unit) {
    std::printf("figure %s %.6g %s\n", name.c_str(), value, unit.c_str());
    std::fflush(stdout);
}

void print_summary(const std::string& name, const Summary& s, const std::string& unit) {
    print_figure(name + ".median", s.median, unit);
    print_figure(name + ".min", s.min, unit);
    print_figure(name + ".max", s.max, unit);
    print_figure(name + ".count", static_cast<double>(s.count), "samples");
}

void print_ratio(const std::string& name, const Summary& a, const Summary& b) {
    if (b.median == 0)
        return;
    print_figure(name, a.median / b.median, "x");
}

}  // namespace sgbench
