#include "probe.h"

#include <unistd.h>

#include <cstdlib>

#include "call_log.h"
#include "clock.h"
#include "reporter.h"
#include "status_names.h"

namespace torture {
namespace {

constexpr ViUInt32 kOpenTimeoutMs = 2000;

}  // namespace

void run_probe(const Options& options, Board& board, const std::string& work_dir,
               const std::vector<Instrument>& instruments, std::int64_t run_start_ns, int round) {
    Reporter reporter(options, board, work_dir,
                      "the lock probe after round " + std::to_string(round) + " (pid " +
                          std::to_string(::getpid()) + ")");
    CallLog log("the probe", run_start_ns);
    reporter.add_log(&log);
    auto timed = [&](const std::string& text, auto f) {
        const auto entry = log.begin(text);
        const std::int64_t start = now_ns();
        const ViStatus st = f();
        const std::int64_t elapsed = ms_since(start);
        log.end(entry, st, elapsed);
        return std::pair{st, elapsed};
    };
    ViSession rm = VI_NULL;
    if (timed("viOpenDefaultRM()", [&] { return viOpenDefaultRM(&rm); }).first != VI_SUCCESS)
        std::exit(kExitSetup);
    for (const Instrument& instrument : instruments) {
        ViSession vi = VI_NULL;
        // The open may wait for the lock, then talks to the instrument (its
        // capabilities) within a second at most.
        const auto [st, elapsed] =
            timed("viOpen(" + instrument.resource + ", VI_EXCLUSIVE_LOCK, 2000)", [&] {
                return viOpen(rm, instrument.resource.c_str(), VI_EXCLUSIVE_LOCK, kOpenTimeoutMs,
                              &vi);
            });
        const std::int64_t bound = kOpenTimeoutMs + 1000 + options.slack_ms;
        if (st != VI_SUCCESS || elapsed > bound) {
            reporter.violation("a killed process leaves nothing locked",
                               "with every worker paused and the killed ones gone, an exclusive "
                               "open of " +
                                   instrument.resource + " returned " + status_name(st) + " in " +
                                   std::to_string(elapsed) + " ms (bound " + std::to_string(bound) +
                                   " ms)",
                               &log);
            continue;
        }
        const ViStatus cleared = timed("viClear", [&] { return viClear(vi); }).first;
        char buf[256] = {};
        const ViStatus asked =
            timed("viQueryf(*IDN?)", [&] { return viQueryf(vi, "*IDN?\n", "%255t", buf); }).first;
        if (cleared != VI_SUCCESS || asked != VI_SUCCESS || instrument.identification != buf) {
            reporter.violation("a killed process leaves nothing locked",
                               "after the exclusive open of " + instrument.resource +
                                   ", viClear returned " + status_name(cleared) +
                                   " and *IDN? returned " + status_name(asked) + " with \"" + buf +
                                   "\"",
                               &log);
        } else {
            board.instruments[&instrument - instruments.data()].clean_at_kills.store(
                board.kills.load());
        }
        timed("viClose", [&] { return viClose(vi); });
    }
    timed("viClose(rm)", [&] { return viClose(rm); });
    std::exit(0);
}

}  // namespace torture
