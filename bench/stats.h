// Summaries of repeated measurements and the benchmark output format: one
// line per figure, "figure NAME VALUE UNIT".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sgbench {

struct Summary {
    double median = 0;
    double min = 0;
    double max = 0;
    std::size_t count = 0;
};

// Median (mean of the two middle values for an even count), min and max.
// An empty sample set gives all zeros.
Summary summarize(std::vector<double> samples);

// Prints "figure NAME VALUE UNIT" on standard output, flushed.
void print_figure(const std::string& name, double value, const std::string& unit);

// Prints "samples VARIANT V V ..." on standard output: the raw values a
// program of the VM's benchmarks hands to the guest script.
void print_samples(const std::string& variant, const std::vector<double>& values);

// Prints NAME.median, NAME.min, NAME.max (in `unit`) and NAME.count.
void print_summary(const std::string& name, const Summary& s, const std::string& unit);

// Prints NAME (median of `a` / median of `b`, unit "x"); nothing when the
// median of `b` is zero.
void print_ratio(const std::string& name, const Summary& a, const Summary& b);

// The spread of a ratio over interleaved batches: `a` and `b` hold samples
// taken in turn (a[i] next to b[i]); they are cut into `batches` runs of
// consecutive samples, and NAME.batch_min and NAME.batch_max are the least
// and the greatest ratio of the two medians within one run.
void print_batch_spread(const std::string& name, const std::vector<double>& a,
                        const std::vector<double>& b, std::size_t batches = 10);

}  // namespace sgbench
