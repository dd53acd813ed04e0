#include "probe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "call_log.h"
#include "child_process.h"
#include "clock.h"
#include "reporter.h"
#include "status_names.h"
#include "worker_pool.h"

namespace torture {
namespace {

constexpr ViUInt32 kOpenTimeoutMs = 2000;

// The processes (other than this one) that have a file whose name ends in
// `suffix` open, from /proc: who may hold an instrument's lock file.
std::string holders_of(const std::string& suffix) {
    std::string out;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return out;
    while (const dirent* p = ::readdir(proc)) {
        const int pid = std::atoi(p->d_name);
        if (pid <= 0 || pid == ::getpid())
            continue;
        const std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = ::opendir(fd_dir.c_str());
        if (fds == nullptr)
            continue;
        while (const dirent* f = ::readdir(fds)) {
            char target[512];
            const ssize_t n =
                ::readlink((fd_dir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            const std::string t(target, static_cast<std::size_t>(n));
            if (t.size() >= suffix.size() &&
                t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0) {
                std::ifstream cmdline(std::string("/proc/") + p->d_name + "/stat");
                std::string stat;
                std::getline(cmdline, stat);
                out += "    pid " + std::to_string(pid) + " (" + stat.substr(0, 60) + "...)\n";
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return out;
}

// The lock file's name ends in the serial number (lock_file.h).
std::string serial_of(const std::string& resource) {
    const auto end = resource.rfind("::", resource.rfind("::") - 1);
    const auto start = resource.rfind("::", end - 1);
    return resource.substr(start + 2, end - start - 2);
}

}  // namespace

namespace {

// The probe process's main: never returns (0: all well).
[[noreturn]] void run_probe(const Options& options, Board& board, const std::string& work_dir,
                            const std::vector<Instrument>& instruments, std::int64_t run_start_ns,
                            int round) {
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
                               "with every worker paused (each has closed all its sessions) and "
                               "the killed ones gone, an exclusive open of " +
                                   instrument.resource + " returned " + status_name(st) + " in " +
                                   std::to_string(elapsed) + " ms (bound " + std::to_string(bound) +
                                   " ms). Processes with its lock file open:\n" +
                                   holders_of(serial_of(instrument.resource)),
                               &log);
            continue;
        }
        // A raw socket's read ends at the linefeed only when told.
        if (instrument.link == Link::socket)
            viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
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

}  // namespace

std::string probe_instruments(const Options& options, Board& board, const std::string& work_dir,
                              const std::vector<Instrument>& instruments, std::int64_t run_start_ns,
                              int round, const std::vector<int>& foreign_fds) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const int fd : foreign_fds)
            ::close(fd);
        run_probe(options, board, work_dir, instruments, run_start_ns, round);
    }
    if (pid < 0)
        return "cannot fork the probe";
    // Its opens are bounded; past that (plus a margin) it hangs.
    const int bound_ms = static_cast<int>(instruments.size()) *
                             (kOpenTimeoutMs + 1000 + 3 * 2000 + options.slack_ms) +
                         5000;
    sgtest::ChildProcess probe(pid);
    if (probe.wait(milliseconds(bound_ms)) == 0)
        return "";
    return "the lock probe after round " + std::to_string(round) +
           (probe.timed_out() ? " hung (over " + std::to_string(bound_ms) + " ms)"
                              : " " + describe_exit(probe.wait_status()));
}

}  // namespace torture
