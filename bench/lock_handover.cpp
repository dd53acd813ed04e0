// bench_lock_handover: the instrument's exclusive lock between processes.
//   hand-over - from the holder calling viClose to the waiting process's
//               viOpen(VI_EXCLUSIVE_LOCK) returning VI_SUCCESS, interleaved
//               with the floor: the same hand-over of a bare flock() to a
//               process blocked in flock(LOCK_EX);
//   idle wait - the CPU a viOpen burns while it waits the whole open timeout
//               for a lock that is never released.
// Needs sgsim --serial <serial> on the bus of $XDG_RUNTIME_DIR, or the
// instrument --resource names (bench/lan_figures measures a HiSLIP session's
// lock so, its figures named with --prefix). The waiters are this program
// started again in a waiter mode; they report on fd 3.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "lock/lock_file.h"
#include "proto/bus_directory.h"
#include "stats.h"
#include "transport/resource_name.h"
#include "visa.h"

namespace {

using sgtest::Clock;

constexpr auto kReportBound = std::chrono::seconds(15);
constexpr int kReportFd = 3;

std::string resource_for(const std::string& serial) {
    return "USB0::0x4d19::0x0040::" + serial + "::INSTR";
}

// Nanoseconds on the system-wide monotonic clock: comparable between processes.
long long monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

bool watches(pid_t pid, const std::string& ino_field) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (const dirent* e = ::readdir(d)) {
        std::ifstream info(dir + "/" + e->d_name);
        std::string line;
        while (!found && std::getline(info, line))
            found = line.rfind("inotify wd:", 0) == 0 && line.find(ino_field) != std::string::npos;
    }
    ::closedir(d);
    return found;
}

// Waits until process `pid` holds an inotify watch on the file at `path` (a
// process waiting for an instrument lock watches the lock file), at most
// until `deadline`. There is no event for that, so this looks every 100 us.
bool wait_for_inotify_watch(pid_t pid, const std::string& path, Clock::time_point deadline) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    std::ostringstream field;
    field << "ino:" << std::hex << static_cast<unsigned long long>(st.st_ino) << ' ';
    while (!watches(pid, field.str())) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

void report(const std::string& line) {
    sgtest::write_all(kReportFd, line + "\n");
}

double cpu_ms_self() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// Waiter mode: reports the open's status and the moment it returned. The
// driver sees it block on the held lock by its watch on the lock file.
int run_waiter(const std::string& resource) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    viOpenDefaultRM(&rm);
    const ViStatus st = viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 5000, &vi);
    const long long returned = monotonic_ns();
    report(std::to_string(st) + " " + std::to_string(returned));
    viClose(rm);
    return 0;
}

// Floor waiter mode: blocks in flock() itself, bounded by an alarm.
int run_flock_waiter(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 1;
    ::alarm(10);
    report("waiting");
    const int rc = ::flock(fd, LOCK_EX);
    const long long returned = monotonic_ns();
    report(std::to_string(rc) + " " + std::to_string(returned));
    return 0;
}

// Idle waiter mode: waits `ms` for a lock that stays held and reports the
// status, the CPU time and the wall time of that open.
int run_idle_waiter(const std::string& resource, int ms) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    viOpenDefaultRM(&rm);
    const double cpu0 = cpu_ms_self();
    const auto t0 = Clock::now();
    const ViStatus st =
        viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, static_cast<ViUInt32>(ms), &vi);
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    const double cpu = cpu_ms_self() - cpu0;
    char line[96];
    std::snprintf(line, sizeof line, "%ld %.3f %.3f", static_cast<long>(st), cpu, wall);
    report(line);
    viClose(rm);
    return 0;
}

// A waiter child with a pipe for its reports.
struct Waiter {
    sgtest::ChildProcess child;
    int reports = -1;
    std::string pending;

    bool start(const std::vector<std::string>& argv) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return false;
        sgtest::ChildProcess::Options options;
        options.argv = argv;
        options.in = options.out = sgtest::ChildProcess::kNull;
        options.fd3 = p[1];
        const bool started = child.start(options);
        ::close(p[1]);
        reports = p[0];
        if (!started)
            std::fprintf(stderr, "bench: %s\n", child.error().c_str());
        return started;
    }
    // The next report line; empty when none came within the bound.
    std::string next_line() {
        const auto deadline = Clock::now() + kReportBound;
        for (;;) {
            const auto nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return line;
            }
            if (sgtest::read_some(reports, deadline, pending) <= 0)
                return {};
        }
    }
    int finish() {
        if (reports >= 0)
            ::close(reports);
        reports = -1;
        const int status = child.wait(kReportBound);
        if (child.timed_out())
            std::fprintf(stderr, "bench: waiter %d did not exit within %lld s; killed\n",
                         static_cast<int>(child.pid()),
                         static_cast<long long>(kReportBound.count()));
        return status;
    }
};

// One hand-over: `release` gives up the lock once `blocked` tells that the
// waiter blocks on it. Returns the milliseconds from release to the waiter's
// success, or < 0.
template <typename Blocked, typename Release>
double hand_over(const std::vector<std::string>& waiter_argv, Blocked blocked, Release release,
                 double& close_ms) {
    Waiter w;
    if (!w.start(waiter_argv))
        return -1;
    if (!blocked(w)) {
        w.finish();
        return -1;
    }
    const long long t0 = monotonic_ns();
    release();
    close_ms = static_cast<double>(monotonic_ns() - t0) / 1e6;
    const std::string line = w.next_line();
    w.finish();
    long status = -1;
    long long returned = 0;
    if (std::sscanf(line.c_str(), "%ld %lld", &status, &returned) != 2 || status != 0)
        return -1;
    return static_cast<double>(returned - t0) / 1e6;
}

int run_driver(const std::string& self, const std::string& resource, const std::string& prefix,
               int rounds, int idle_waiters, int idle_ms) {
    sgvisa::ResourceName name;
    if (sgvisa::parse_resource_name(resource, name) != VI_SUCCESS) {
        std::fprintf(stderr, "bench: %s is not a resource name\n", resource.c_str());
        return 2;
    }
    const std::string lock_path = sgvisa::lock::instrument_lock_path(
        sgproto::bus_directory(), sgvisa::lock::instrument_key(name));
    ViSession rm = VI_NULL;
    viOpenDefaultRM(&rm);

    char floor_path[] = "/tmp/sgbench-flock-XXXXXX";
    const int floor_file = ::mkstemp(floor_path);
    if (floor_file < 0) {
        std::perror("bench: mkstemp");
        return 1;
    }
    ::close(floor_file);

    std::vector<double> ours, floor, close_times;
    for (int i = 0; i < rounds; ++i) {
        for (int k = 0; k < 2; ++k) {
            const bool is_ours = (i + k) % 2 == 0;
            double close_ms = 0;
            double ms = -1;
            if (is_ours) {
                ViSession holder = VI_NULL;
                if (viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 5000, &holder) != VI_SUCCESS) {
                    std::fprintf(stderr, "bench: cannot open %s\n", resource.c_str());
                    return 1;
                }
                ms = hand_over(
                    {self, "--waiter", resource},
                    [&](Waiter& w) {
                        return wait_for_inotify_watch(w.child.pid(), lock_path,
                                                      Clock::now() + kReportBound);
                    },
                    [&] { viClose(holder); }, close_ms);
                if (ms >= 0)
                    close_times.push_back(close_ms);
            } else {
                const int fd = ::open(floor_path, O_RDWR | O_CLOEXEC);
                if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
                    return 1;
                ms = hand_over(
                    {self, "--flock-waiter", floor_path},
                    [](Waiter& w) { return w.next_line() == "waiting"; }, [&] { ::close(fd); },
                    close_ms);
            }
            if (ms < 0) {
                std::fprintf(stderr, "bench: %s hand-over %d failed\n", is_ours ? "lock" : "flock",
                             i);
                ::unlink(floor_path);
                return 1;
            }
            (is_ours ? ours : floor).push_back(ms);
        }
    }
    ::unlink(floor_path);
    const auto ours_s = sgbench::summarize(ours);
    const auto floor_s = sgbench::summarize(floor);
    sgbench::print_summary(prefix + ".handover", ours_s, "ms");
    sgbench::print_summary(prefix + ".handover.floor", floor_s, "ms");
    sgbench::print_ratio(prefix + ".ratio.handover_over_floor", ours_s, floor_s);
    sgbench::print_figure(prefix + ".holder_close.median", sgbench::summarize(close_times).median,
                          "ms");

    if (idle_waiters <= 0)
        return 0;
    ViSession holder = VI_NULL;
    if (viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 5000, &holder) != VI_SUCCESS)
        return 1;
    std::vector<Waiter> waiters(static_cast<std::size_t>(idle_waiters));
    for (auto& w : waiters) {
        if (!w.start({self, "--idle-waiter", resource, std::to_string(idle_ms)}))
            return 1;
    }
    std::vector<double> percent, cpu;
    for (auto& w : waiters) {
        const std::string line = w.next_line();
        w.finish();
        long status = 0;
        double cpu_ms = 0;
        double wall_ms = 0;
        if (std::sscanf(line.c_str(), "%ld %lf %lf", &status, &cpu_ms, &wall_ms) != 3 ||
            status != static_cast<long>(VI_ERROR_RSRC_LOCKED) || wall_ms <= 0) {
            std::fprintf(stderr, "bench: idle waiter reported \"%s\"\n", line.c_str());
            return 1;
        }
        cpu.push_back(cpu_ms);
        percent.push_back(100.0 * cpu_ms / wall_ms);
        sgbench::print_figure(prefix + ".idle_wait.wall", wall_ms, "ms");
    }
    viClose(holder);
    viClose(rm);
    sgbench::print_summary(prefix + ".idle_wait.cpu", sgbench::summarize(cpu), "ms");
    sgbench::print_summary(prefix + ".idle_wait.core_share", sgbench::summarize(percent), "%");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--waiter")
        return run_waiter(args[1]);
    if (args.size() == 2 && args[0] == "--flock-waiter")
        return run_flock_waiter(args[1]);
    if (args.size() == 3 && args[0] == "--idle-waiter")
        return run_idle_waiter(args[1], std::atoi(args[2].c_str()));

    std::string serial = "SIM001";
    std::string resource;
    std::string prefix = "lock";
    int rounds = 30;
    int idle_waiters = 3;
    int idle_ms = 5000;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--serial")
            serial = args[i + 1];
        else if (args[i] == "--resource")
            resource = args[i + 1];
        else if (args[i] == "--prefix")
            prefix = args[i + 1];
        else if (args[i] == "--rounds")
            rounds = std::atoi(args[i + 1].c_str());
        else if (args[i] == "--idle-waiters")
            idle_waiters = std::atoi(args[i + 1].c_str());
        else if (args[i] == "--idle-ms")
            idle_ms = std::atoi(args[i + 1].c_str());
        else
            args.clear();
    }
    if (args.size() % 2 != 0 || rounds <= 0 || idle_ms <= 0) {
        std::fprintf(stderr,
                     "usage: %s [--serial SN | --resource NAME] [--prefix NAME] [--rounds N] "
                     "[--idle-waiters N] [--idle-ms MS]\n",
                     argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return run_driver("/proc/self/exe", resource.empty() ? resource_for(serial) : resource, prefix,
                      rounds, idle_waiters, idle_ms);
}
