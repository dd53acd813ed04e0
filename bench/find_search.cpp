// bench_find: what LAN discovery costs a search that cannot find a LAN
// instrument, and how long one that can takes. viFindRsrc("USB?*INSTR")
// with discovery on (SGVISA_DISCOVERY_MS unset) and off (0), in turns, as
// medians and their ratio; then viFindRsrc("TCPIP?*"), which listens for
// the whole bound. Run where a simulator is on the local bus (and, for the
// second, an interface with broadcast and multicast exists:
// bench/lan_figures makes both in a network namespace of its own). Prints
// "figure NAME VALUE UNIT" lines.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stats.h"
#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;

// One search, in microseconds; its count in `found`.
double search_us(ViSession rm, const char* pattern, ViUInt32& found) {
    ViFindList list = VI_NULL;
    ViChar first[VI_FIND_BUFLEN] = {};
    found = 0;
    const auto start = Clock::now();
    const ViStatus st = viFindRsrc(rm, pattern, &list, &found, first);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (st >= VI_SUCCESS)
        viClose(list);
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 200;
    int tcpip_rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (a == "--tcpip-rounds")
            tcpip_rounds = std::atoi(argv[i + 1]);
        else
            rounds = 0;
    }
    if (argc % 2 != 1 || rounds <= 0 || tcpip_rounds < 0) {
        std::fprintf(stderr, "usage: %s [--rounds N] [--tcpip-rounds N]\n", argv[0]);
        return 2;
    }
    ViSession rm = VI_NULL;
    if (viOpenDefaultRM(&rm) < VI_SUCCESS) {
        std::fprintf(stderr, "bench_find: no resource manager\n");
        return 1;
    }
    ViUInt32 found = 0;
    std::vector<double> on, off;
    for (int i = -rounds / 10; i < rounds; ++i) {  // the first tenth warms up
        // In turns, each first every other round, so that neither always
        // meets the caches the other left.
        for (int k = 0; k < 2; ++k) {
            const bool discovery = (i + k) % 2 == 0;
            if (discovery)
                ::unsetenv("SGVISA_DISCOVERY_MS");
            else
                ::setenv("SGVISA_DISCOVERY_MS", "0", 1);
            const double us = search_us(rm, "USB?*INSTR", found);
            if (i >= 0)
                (discovery ? on : off).push_back(us);
        }
    }
    if (found == 0) {
        std::fprintf(stderr, "bench_find: viFindRsrc(\"USB?*INSTR\") found nothing\n");
        return 1;
    }
    const auto s_on = sgbench::summarize(on), s_off = sgbench::summarize(off);
    sgbench::print_summary("find.usb.discovery_on", s_on, "us");
    sgbench::print_summary("find.usb.discovery_off", s_off, "us");
    sgbench::print_ratio("find.usb.discovery_ratio", s_on, s_off);
    sgbench::print_batch_spread("find.usb.discovery_ratio", on, off);

    ::unsetenv("SGVISA_DISCOVERY_MS");
    std::vector<double> tcpip;
    for (int i = 0; i < tcpip_rounds; ++i)
        tcpip.push_back(search_us(rm, "TCPIP?*", found) / 1000.0);
    if (!tcpip.empty()) {
        sgbench::print_summary("find.tcpip.wall", sgbench::summarize(tcpip), "ms");
        sgbench::print_figure("find.tcpip.found", found, "resources");
    }
    viClose(rm);
    return 0;
}
