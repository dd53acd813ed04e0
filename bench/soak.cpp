// bench_soak: one long-lived client, as a test system runs for days: many
// queries on one session, then many open/close cycles, through our library
// against sgsim on the local bus. Reports the resident set and the open
// descriptors before, in the middle and after each phase: they must stay
// flat. Needs sgsim --serial <serial> on the bus of $XDG_RUNTIME_DIR. Prints
// "figure NAME VALUE UNIT" lines; exits 1 when a query or an open fails.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "stats.h"
#include "visa.h"

namespace {

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int open_descriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n - 1;  // the directory's own descriptor
}

void report(const char* phase, const char* when) {
    sgbench::print_figure(std::string("soak.") + phase + ".rss." + when,
                          static_cast<double>(resident_kib()), "KiB");
    sgbench::print_figure(std::string("soak.") + phase + ".fds." + when, open_descriptors(),
                          "descriptors");
}

}  // namespace

int main(int argc, char** argv) {
    std::string serial = "SIM001";
    long queries = 100000;
    long cycles = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--serial") == 0)
            serial = argv[i + 1];
        else if (std::strcmp(argv[i], "--queries") == 0)
            queries = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--cycles") == 0)
            cycles = std::atol(argv[i + 1]);
    }
    const std::string name = "USB0::0x4d19::0x0040::" + serial + "::INSTR";
    ViSession rm = VI_NULL;
    viOpenDefaultRM(&rm);
    ViSession vi = VI_NULL;
    if (viOpen(rm, name.c_str(), VI_NULL, 2000, &vi) != VI_SUCCESS) {
        std::fprintf(stderr, "soak: cannot open %s\n", name.c_str());
        return 1;
    }
    char reply[256];
    // Warm up: what lives for the process is set up by now.
    for (int i = 0; i < 100; ++i)
        viQueryf(vi, "*IDN?\n", "%255t", reply);

    report("queries", "start");
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < queries; ++i) {
        if (viQueryf(vi, "*IDN?\n", "%255t", reply) != VI_SUCCESS) {
            std::fprintf(stderr, "soak: query %ld failed\n", i);
            return 1;
        }
        if (i == queries / 2)
            report("queries", "middle");
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    report("queries", "end");
    sgbench::print_figure("soak.queries.per_second", static_cast<double>(queries) / seconds,
                          "queries/s");
    viClose(vi);

    report("open_close", "start");
    for (long i = 0; i < cycles; ++i) {
        if (viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 2000, &vi) != VI_SUCCESS ||
            viQueryf(vi, "*IDN?\n", "%255t", reply) != VI_SUCCESS || viClose(vi) != VI_SUCCESS) {
            std::fprintf(stderr, "soak: open/close cycle %ld failed\n", i);
            return 1;
        }
        if (i == cycles / 2)
            report("open_close", "middle");
    }
    report("open_close", "end");
    viClose(rm);
    return 0;
}
