// bench_localbus_query: the cost of one viQueryf("*IDN?") round trip over the
// simulator's local bus, in a session opened with VI_EXCLUSIVE_LOCK as sgdemo
// opens it (and, given --nolock-serial, one opened without the lock, whose
// every I/O operation checks the lock file), measured interleaved against
//   floor   - the same frames ping-ponged over a Unix stream socket pair to a
//             responder that answers with prepared bytes (the bus's floor);
//   raw_sim - the same frames sent with plain blocking calls to a second
//             sgsim (everything but our VISA library and USBTMC host).
// Needs sgsim --serial <serial> (and --serial <raw-serial>) on the bus of
// $XDG_RUNTIME_DIR. Prints "figure NAME VALUE UNIT" lines.
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "proto/bus_directory.h"
#include "proto/localbus_frames.h"
#include "raw_bus_client.h"
#include "stats.h"
#include "visa.h"

namespace {

using sgbench::Bytes;
using sgtest::Clock;

constexpr int kBoundMs = 5000;

struct Options {
    int rounds = 2000;
    int warmup = 200;
    std::string serial = "SIM001";
    std::string raw_serial;           // empty: no raw_sim variant
    std::string nolock_serial;        // empty: no ours_nolock variant
    std::string prefix = "localbus";  // of the figure names
    int responder_cpu = -1;           // >= 0: the floor responder runs on this CPU only
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string v = argv[++i];
        if (a == "--rounds")
            o.rounds = std::atoi(v.c_str());
        else if (a == "--warmup")
            o.warmup = std::atoi(v.c_str());
        else if (a == "--serial")
            o.serial = v;
        else if (a == "--raw-serial")
            o.raw_serial = v;
        else if (a == "--nolock-serial")
            o.nolock_serial = v;
        else if (a == "--prefix")
            o.prefix = v;
        else if (a == "--responder-cpu")
            o.responder_cpu = std::atoi(v.c_str());
        else
            return false;
    }
    return o.rounds > 0 && o.warmup >= 0;
}

double thread_cpu_us() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// True when `text` (n bytes) is an IDN reply of the simulated generator as
// long as kIdnReply (any serial number of the same length).
bool is_idn(const char* text, std::size_t n) {
    constexpr char kMaker[] = "Simulated Signal Sources,SG-4040,";
    return n == std::strlen(sgbench::kIdnReply) &&
           std::memcmp(text, kMaker, sizeof kMaker - 1) == 0;
}

// True when a bulk-IN answer frame carries such a reply.
bool carries_idn(const Bytes& frame) {
    const std::size_t skip = sgproto::localbus::kFrameHeaderSize + 12;
    return frame.size() > skip &&
           is_idn(reinterpret_cast<const char*>(frame.data()) + skip, frame.size() - skip);
}

struct Timing {
    std::vector<double> wall_us;
    std::vector<double> cpu_us;
};

// The canned responder in a child process at the other end of a socket pair.
// Returns the client's end, or -1.
int start_floor_responder(int cpu, pid_t& pid) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    pid = ::fork();
    if (pid < 0) {
        ::close(sv[0]);
        ::close(sv[1]);
        return -1;
    }
    if (pid == 0) {
        ::close(sv[0]);
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            ::sched_setaffinity(0, sizeof set, &set);
        }
        sgbench::serve_canned_answers(sv[1]);
        ::_exit(0);
    }
    ::close(sv[1]);
    return sv[0];
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: %s [--rounds N] [--warmup N] [--serial SN] [--raw-serial SN] "
                     "[--nolock-serial SN] [--prefix NAME] [--responder-cpu N]\n",
                     argv[0]);
        return 2;
    }

    // The responder is forked before any session exists, so it inherits none.
    pid_t responder = -1;
    const int floor_fd = start_floor_responder(opt.responder_cpu, responder);
    if (floor_fd < 0) {
        std::perror("bench: floor responder");
        return 1;
    }
    auto floor = std::make_unique<sgbench::RawBusClient>(floor_fd, kBoundMs);

    std::unique_ptr<sgbench::RawBusClient> raw_sim;
    if (!opt.raw_serial.empty()) {
        namespace lb = sgproto::localbus;
        std::string error;
        const int fd = sgbench::RawBusClient::connect_and_claim(
            sgproto::device_socket_path(sgproto::bus_directory(), 0x4d19, 0x0040, opt.raw_serial),
            kBoundMs, error);
        if (fd < 0) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            return 1;
        }
        raw_sim = std::make_unique<sgbench::RawBusClient>(fd, kBoundMs);
    }

    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ViSession vi_nolock = VI_NULL;
    const auto open = [&](const std::string& serial, ViAccessMode mode, ViSession& out) {
        const std::string resource = "USB0::0x4d19::0x0040::" + serial + "::INSTR";
        if (viOpen(rm, resource.c_str(), mode, kBoundMs, &out) == VI_SUCCESS)
            return true;
        std::fprintf(stderr, "bench: cannot open %s (is sgsim --serial %s running?)\n",
                     resource.c_str(), serial.c_str());
        return false;
    };
    if (viOpenDefaultRM(&rm) != VI_SUCCESS || !open(opt.serial, VI_EXCLUSIVE_LOCK, vi) ||
        (!opt.nolock_serial.empty() && !open(opt.nolock_serial, VI_NO_LOCK, vi_nolock)))
        return 1;

    enum Variant { kOurs, kFloor, kRawSim, kOursNolock, kVariants };
    const char* const names[kVariants] = {"ours", "floor", "raw_sim", "ours_nolock"};
    std::vector<int> active = {kOurs, kFloor};
    if (raw_sim)
        active.push_back(kRawSim);
    if (vi_nolock != VI_NULL)
        active.push_back(kOursNolock);
    const int variants = static_cast<int>(active.size());
    std::array<Timing, kVariants> timing;
    std::vector<double> paired_floor;  // ours / floor, same round
    std::vector<double> paired_raw;    // ours / raw_sim, same round

    std::uint32_t floor_seq = 1;
    std::uint32_t raw_seq = 2;  // seq 1 was the claim
    char reply[256];
    Bytes answer;
    for (int round = 0; round < opt.warmup + opt.rounds; ++round) {
        const auto tag = static_cast<std::uint8_t>(1 + (2 * round) % 254);
        const auto floor_frames = sgbench::idn_query_frames(floor_seq, tag);
        const auto raw_frames = sgbench::idn_query_frames(raw_seq, tag);
        floor_seq += 3;
        raw_seq += 3;
        std::array<double, kVariants> wall{};
        for (int k = 0; k < variants; ++k) {
            const int v = active[static_cast<std::size_t>((round + k) % variants)];  // in turn
            bool ok = false;
            const double c0 = thread_cpu_us();
            const auto t0 = Clock::now();
            if (v == kOurs || v == kOursNolock) {
                ok = viQueryf(v == kOurs ? vi : vi_nolock, "*IDN?\n", "%255t", reply) == VI_SUCCESS;
            } else if (v == kFloor) {
                ok = floor->query(floor_frames, answer);
            } else {
                ok = raw_sim->query(raw_frames, answer);
            }
            const auto t1 = Clock::now();
            const double c1 = thread_cpu_us();
            if (ok)
                ok = v == kOurs || v == kOursNolock ? is_idn(reply, std::strlen(reply))
                                                    : carries_idn(answer);
            if (!ok) {
                std::fprintf(stderr, "bench: %s query failed in round %d\n", names[v], round);
                return 1;
            }
            wall[v] = std::chrono::duration<double, std::micro>(t1 - t0).count();
            if (round >= opt.warmup) {
                timing[v].wall_us.push_back(wall[v]);
                timing[v].cpu_us.push_back(c1 - c0);
            }
        }
        if (round >= opt.warmup) {
            paired_floor.push_back(wall[kOurs] / wall[kFloor]);
            if (raw_sim)
                paired_raw.push_back(wall[kOurs] / wall[kRawSim]);
        }
    }
    viClose(rm);
    floor.reset();  // end of stream: the responder returns
    if (sgtest::ChildProcess child(responder); child.wait(std::chrono::milliseconds(kBoundMs)) != 0)
        std::fprintf(stderr, "bench: the floor responder %s\n",
                     child.timed_out() ? "did not end in time; killed"
                                       : sgtest::describe_exit(child.wait_status()).c_str());

    std::array<sgbench::Summary, kVariants> wall;
    for (const int v : active) {
        wall[v] = sgbench::summarize(timing[v].wall_us);
        sgbench::print_summary(opt.prefix + ".query." + names[v], wall[v], "us");
        sgbench::print_figure(opt.prefix + ".query." + names[v] + ".client_cpu",
                              sgbench::summarize(timing[v].cpu_us).median, "us");
    }
    sgbench::print_ratio(opt.prefix + ".ratio.ours_over_floor", wall[kOurs], wall[kFloor]);
    sgbench::print_batch_spread(opt.prefix + ".ratio.ours_over_floor", timing[kOurs].wall_us,
                                timing[kFloor].wall_us);
    sgbench::print_figure(opt.prefix + ".ratio.ours_over_floor.paired",
                          sgbench::summarize(paired_floor).median, "x");
    if (raw_sim) {
        sgbench::print_ratio(opt.prefix + ".ratio.ours_over_raw_sim", wall[kOurs], wall[kRawSim]);
        sgbench::print_figure(opt.prefix + ".ratio.ours_over_raw_sim.paired",
                              sgbench::summarize(paired_raw).median, "x");
        sgbench::print_ratio(opt.prefix + ".ratio.raw_sim_over_floor", wall[kRawSim], wall[kFloor]);
    }
    if (vi_nolock != VI_NULL) {
        sgbench::print_ratio(opt.prefix + ".ratio.ours_nolock_over_floor", wall[kOursNolock],
                             wall[kFloor]);
        sgbench::print_batch_spread(opt.prefix + ".ratio.ours_nolock_over_floor",
                                    timing[kOursNolock].wall_us, timing[kFloor].wall_us);
    }
    return 0;
}
