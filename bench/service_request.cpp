// bench_service_request: USB488 over the simulator's local bus through our
// library: one viReadSTB (READ_STATUS_BYTE and its interrupt-IN
// notification), and the time from viPrintf("*CLS;*OPC") to the service
// request event taken with viWaitOnEvent (the instrument set up with
// *ESE 1;*SRE 32). Needs sgsim --serial <serial> on the bus of
// $XDG_RUNTIME_DIR. Prints "figure NAME VALUE UNIT" lines (failed calls
// count, with their time, and make the exit status 1).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stats.h"
#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBoundMs = 5000;

double us_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 1000;
    std::string serial = "SIM001";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rounds") {
            rounds = std::atoi(argv[i + 1]);
        } else if (a == "--serial") {
            serial = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--serial SN]\n", argv[0]);
            return 2;
        }
    }
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    const std::string resource = "USB0::0x4d19::0x0040::" + serial + "::INSTR";
    if (viOpenDefaultRM(&rm) != VI_SUCCESS ||
        viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, kBoundMs, &vi) != VI_SUCCESS) {
        std::fprintf(stderr, "bench: cannot open %s\n", resource.c_str());
        return 1;
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, kBoundMs);
    int failed = 0;
    std::vector<double> stb;
    for (int i = 0; i < rounds + rounds / 10; ++i) {
        ViUInt16 status = 0;
        const auto start = Clock::now();
        failed += viReadSTB(vi, &status) != VI_SUCCESS;
        if (i >= rounds / 10)  // the first tenth warms up
            stb.push_back(us_since(start));
    }
    std::vector<double> srq;
    failed += viPrintf(vi, const_cast<ViString>("*ESE 1;*SRE 32\n")) != VI_SUCCESS;
    failed += viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL) != VI_SUCCESS;
    for (int i = 0; i < rounds / 10; ++i) {
        const auto start = Clock::now();
        failed += viPrintf(vi, const_cast<ViString>("*CLS;*OPC\n")) != VI_SUCCESS;
        failed += viWaitOnEvent(vi, VI_EVENT_SERVICE_REQ, kBoundMs, VI_NULL, VI_NULL) != VI_SUCCESS;
        srq.push_back(us_since(start));
        ViUInt16 status = 0;
        failed += viReadSTB(vi, &status) != VI_SUCCESS;  // takes RQS back
    }
    viClose(rm);
    sgbench::print_summary("localbus.read_stb", sgbench::summarize(stb), "us");
    sgbench::print_summary("localbus.srq_event", sgbench::summarize(srq), "us");
    sgbench::print_figure("localbus.service_request.failed_calls", failed, "calls");
    return failed > 0 ? 1 : 0;
}
