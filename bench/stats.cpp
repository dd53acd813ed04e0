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

void print_samples(const std::string& variant, const std::vector<double>& values) {
    std::printf("samples %s", variant.c_str());
    for (double v : values)
        std::printf(" %.3f", v);
    std::printf("\n");
}

void print_ratio(const std::string& name, const Summary& a, const Summary& b) {
    if (b.median == 0)
        return;
    print_figure(name, a.median / b.median, "x");
}

void print_batch_spread(const std::string& name, const std::vector<double>& a,
                        const std::vector<double>& b, std::size_t batches) {
    const std::size_t n = std::min(a.size(), b.size());
    if (batches == 0 || n < batches)
        return;
    double least = 0;
    double greatest = 0;
    for (std::size_t k = 0; k < batches; ++k) {
        const std::size_t from = n * k / batches;
        const std::size_t to = n * (k + 1) / batches;
        const auto slice = [&](const std::vector<double>& v) {
            return summarize(std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                                 v.begin() + static_cast<std::ptrdiff_t>(to)));
        };
        const Summary sb = slice(b);
        if (sb.median == 0)
            return;
        const double r = slice(a).median / sb.median;
        least = k == 0 ? r : std::min(least, r);
        greatest = k == 0 ? r : std::max(greatest, r);
    }
    print_figure(name + ".batch_min", least, "x");
    print_figure(name + ".batch_max", greatest, "x");
}

}  // namespace sgbench
