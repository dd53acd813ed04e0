// bench_trace_cost: what the I/O trace costs a viQueryf("*IDN?") round trip
// over the local bus, in one process, the variants interleaved round by
// round:
//   no_trace  - a build of the library with the trace compiled out;
//   trace_off - the shipped library, SGVISA_TRACE unset (the check only);
//   trace_file - the shipped library tracing every call to a file.
// Each variant is its own copy of the library (dlopen of separate files), with
// its own session on one of three simulated generators, opened with
// VI_EXCLUSIVE_LOCK as sgdemo opens it. The generators are handed round the
// variants batch by batch (each variant on each generator as often), so that
// a generator that happens to run slower weighs on all three alike. Needs
// sgsim --serial for each of the three serials on the bus of
// $XDG_RUNTIME_DIR. Prints "figure" lines.
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
constexpr int kBatches = 12;  // a multiple of the three hand-rounds

struct Options {
    int rounds = 3000;     // measured, over kBatches batches
    int warmup = 30;       // per batch, after the sessions are opened
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

// One copy of the library, and its session on one instrument at a time.
struct Variant {
    const char* name = "";
    std::string path;
    decltype(&viOpen) open = nullptr;
    decltype(&viClose) close = nullptr;
    decltype(&viQueryf) query = nullptr;
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;

    bool load(const std::string& file) {
        path = file;
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            std::fprintf(stderr, "bench: %s\n", dlerror());
            return false;
        }
        auto open_rm = reinterpret_cast<decltype(&viOpenDefaultRM)>(dlsym(lib, "viOpenDefaultRM"));
        open = reinterpret_cast<decltype(&viOpen)>(dlsym(lib, "viOpen"));
        close = reinterpret_cast<decltype(&viClose)>(dlsym(lib, "viClose"));
        query = reinterpret_cast<decltype(&viQueryf)>(dlsym(lib, "viQueryf"));
        return open_rm != nullptr && open != nullptr && close != nullptr && query != nullptr &&
               open_rm(&rm) == VI_SUCCESS;
    }
    void release() {
        if (vi != VI_NULL)
            close(vi);
        vi = VI_NULL;
    }
    bool use(const std::string& serial) {
        release();
        const std::string resource = "USB0::0x4d19::0x0040::" + serial + "::INSTR";
        if (open(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, kBoundMs, &vi) == VI_SUCCESS)
            return true;
        std::fprintf(stderr, "bench: cannot open %s through %s\n", resource.c_str(), path.c_str());
        return false;
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
    const bool file_ok = variants[kFile].load(copy);
    unsetenv("SGVISA_TRACE");
    if (!file_ok || !variants[kOff].load(opt.traced) || !variants[kNoTrace].load(opt.untraced))
        return 1;
    const int per_batch = (opt.rounds + kBatches - 1) / kBatches;

    std::array<std::vector<double>, kVariants> wall;
    std::vector<double> paired_off;  // trace_off / no_trace, same round
    char reply[256];
    for (int round = 0; round < kBatches * (opt.warmup + per_batch); ++round) {
        const int batch = round / (opt.warmup + per_batch);
        const int in_batch = round % (opt.warmup + per_batch);
        if (in_batch == 0) {
            for (Variant& v : variants)  // all closed first: each generator takes one session
                v.release();
            for (int v = 0; v < kVariants; ++v)
                if (!variants[v].use(opt.serials[static_cast<std::size_t>((v + batch) % 3)]))
                    return 1;
        }
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
        if (in_batch >= opt.warmup) {
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
    sgbench::print_batch_spread(off, wall[kOff], wall[kNoTrace], kBatches);
    sgbench::print_figure(off + ".paired", sgbench::summarize(paired_off).median, "x");
    const std::string file = opt.prefix + ".query.trace_file_over_off";
    sgbench::print_ratio(file, s[kFile], s[kOff]);
    sgbench::print_batch_spread(file, wall[kFile], wall[kOff], kBatches);
    return 0;
}
