// bench_trace_cost: what the I/O trace costs a viQueryf("*IDN?") round trip
// over the local bus, in one process, the variants interleaved round by
// round:
//   no_trace  - a build of the library with the trace compiled out;
//   trace_off - the shipped library, SGVISA_TRACE unset (the check only);
//   trace_file - the shipped library tracing every call to a file.
// Each variant is its own copy of the library (dlopen of separate files), with
// its own session on its own simulated generator, opened with
// VI_EXCLUSIVE_LOCK as sgdemo opens it. Needs sgsim --serial for each of the
// three serials on the bus of $XDG_RUNTIME_DIR. Prints "figure" lines.
#include <dlfcn.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "stats.h"
#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr ViUInt32 kBoundMs = 5000;

struct Options {
    int rounds = 3000;
    int warmup = 300;
    std::string traced;    // libsgvisa.so.1
    std::string untraced;  // the build without the trace
    std::string trace_file;
    std::array<std::string, 3> serials = {"SIM001", "SIM002", "SIM003"};
    std::string prefix = "localbus";
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const std::string v = argv[i + 1];
        if (a == "--rounds")
            o.rounds = std::atoi(v.c_str());
        else if (a == "--warmup")
            o.warmup = std::atoi(v.c_str());
        else if (a == "--traced")
            o.traced = v;
        else if (a == "--untraced")
            o.untraced = v;
        else if (a == "--trace-file")
            o.trace_file = v;
        else if (a == "--prefix")
            o.prefix = v;
        else if (a.rfind("--serial", 0) == 0 && a.size() == 9 && a[8] >= '1' && a[8] <= '3')
            o.serials[static_cast<std::size_t>(a[8] - '1')] = v;
        else
            return false;
    }
    return argc % 2 == 1 && !o.traced.empty() && !o.untraced.empty() && !o.trace_file.empty() &&
           o.rounds > 0;
}

// One copy of the library with a session on one instrument.
struct Variant {
    const char* name = "";
    decltype(&viQueryf) query = nullptr;
    ViSession vi = VI_NULL;

    bool load(const std::string& path, const std::string& serial) {
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            std::fprintf(stderr, "bench: %s\n", dlerror());
            return false;
        }
        auto open_rm = reinterpret_cast<decltype(&viOpenDefaultRM)>(dlsym(lib, "viOpenDefaultRM"));
        auto open = reinterpret_cast<decltype(&viOpen)>(dlsym(lib, "viOpen"));
        query = reinterpret_cast<decltype(&viQueryf)>(dlsym(lib, "viQueryf"));
        ViSession rm = VI_NULL;
        const std::string resource = "USB0::0x4d19::0x0040::" + serial + "::INSTR";
        if (open_rm == nullptr || open == nullptr || query == nullptr ||
            open_rm(&rm) != VI_SUCCESS ||
            open(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, kBoundMs, &vi) != VI_SUCCESS) {
            std::fprintf(stderr, "bench: cannot open %s through %s\n", resource.c_str(),
                         path.c_str());
            return false;
        }
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: bench_trace_cost --traced LIB --untraced LIB --trace-file FILE "
                     "[--rounds N] [--warmup N] [--serial1 SN --serial2 SN --serial3 SN] "
                     "[--prefix P]\n");
        return 2;
    }
    // A second copy of the traced library under another name, so that it is
    // loaded apart and reads SGVISA_TRACE (once, at its first call) while it
    // is set; the other copy reads it unset.
    const std::string copy = opt.trace_file + ".lib.so";
    std::error_code error;
    std::filesystem::copy_file(opt.traced, copy, std::filesystem::copy_options::overwrite_existing,
                               error);
    if (error) {
        std::fprintf(stderr, "bench: cannot copy %s: %s\n", opt.traced.c_str(),
                     error.message().c_str());
        return 1;
    }
    enum { kNoTrace, kOff, kFile, kVariants };
    std::array<Variant, kVariants> variants;
    variants[kNoTrace].name = "no_trace";
    variants[kOff].name = "trace_off";
    variants[kFile].name = "trace_file";
    setenv("SGVISA_TRACE", opt.trace_file.c_str(), 1);
    const bool file_ok = variants[kFile].load(copy, opt.serials[2]);
    unsetenv("SGVISA_TRACE");
    if (!file_ok || !variants[kOff].load(opt.traced, opt.serials[1]) ||
        !variants[kNoTrace].load(opt.untraced, opt.serials[0]))
        return 1;

    std::array<std::vector<double>, kVariants> wall;
    std::vector<double> paired_off;  // trace_off / no_trace, same round
    char reply[256];
    for (int round = 0; round < opt.warmup + opt.rounds; ++round) {
        std::array<double, kVariants> us{};
        for (int k = 0; k < kVariants; ++k) {
            const int v = (round + k) % kVariants;  // each variant first in turn
            const auto t0 = Clock::now();
            const ViStatus st = variants[v].query(variants[v].vi, "*IDN?\n", "%255t", reply);
            const auto t1 = Clock::now();
            if (st != VI_SUCCESS || std::strstr(reply, "SIM") == nullptr) {
                std::fprintf(stderr, "bench: %s query failed in round %d\n", variants[v].name,
                             round);
                return 1;
            }
            us[v] = std::chrono::duration<double, std::micro>(t1 - t0).count();
        }
        if (round >= opt.warmup) {
            for (int v = 0; v < kVariants; ++v)
                wall[v].push_back(us[v]);
            paired_off.push_back(us[kOff] / us[kNoTrace]);
        }
    }
    std::filesystem::remove(copy, error);

    std::array<sgbench::Summary, kVariants> s;
    for (int v = 0; v < kVariants; ++v) {
        s[v] = sgbench::summarize(wall[v]);
        sgbench::print_summary(opt.prefix + ".query." + variants[v].name, s[v], "us");
    }
    const std::string off = opt.prefix + ".query.trace_off_over_baseline";
    sgbench::print_ratio(off, s[kOff], s[kNoTrace]);
    sgbench::print_batch_spread(off, wall[kOff], wall[kNoTrace]);
    sgbench::print_figure(off + ".paired", sgbench::summarize(paired_off).median, "x");
    const std::string file = opt.prefix + ".query.trace_file_over_off";
    sgbench::print_ratio(file, s[kFile], s[kOff]);
    sgbench::print_batch_spread(file, wall[kFile], wall[kOff]);
    return 0;
}
