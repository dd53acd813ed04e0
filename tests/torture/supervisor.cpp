#include "supervisor.h"

#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "board.h"
#include "clock.h"
#include "probe.h"
#include "random.h"
#include "run_summary.h"
#include "sim_instance.h"
#include "worker_pool.h"

namespace torture {
namespace {

// A pause waits for each thread's operation (a worker gives its threads
// 60 s) and the checks after it.
constexpr int kPauseBoundMs = 90'000;

std::string exe_dir() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string p(path, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

class Supervisor {
  public:
    explicit Supervisor(Options options) : options_(std::move(options)) {}
    int run();

  private:
    bool set_up();
    bool start_instruments();
    // One round: a kill maybe, then the pause, the probe, the replacements.
    void run_round(int round, Rng& rng, std::int64_t end_ns);
    void fail(const std::string& what) {
        failed_ = true;
        failures_.push_back(what);
    }
    bool stopping() const { return failed_ && !options_.keep_going; }
    // The descriptors no child but the instruments' owner may keep.
    std::vector<int> foreign_fds() const;

    Options options_;
    std::string work_dir_;
    bool own_work_dir_ = false;
    Board* board_ = nullptr;
    std::vector<std::unique_ptr<SimInstance>> sims_;
    std::vector<Instrument> instruments_;
    std::unique_ptr<WorkerPool> pool_;
    std::int64_t start_ns_ = 0;
    bool failed_ = false;
    std::vector<std::string> failures_;
};

bool Supervisor::set_up() {
    if (!options_.seed_given)
        options_.seed = std::random_device{}() | (std::uint64_t{std::random_device{}()} << 32);
    if (options_.work_dir.empty()) {
        char dir[] = "/tmp/sg-torture-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            std::perror("sg_torture: mkdtemp");
            return false;
        }
        work_dir_ = dir;
        own_work_dir_ = true;
    } else {
        work_dir_ = options_.work_dir;
        ::mkdir(work_dir_.c_str(), 0700);
    }
    // The bus directory (and the instruments' lock files) of this run alone.
    const std::string bus = work_dir_ + "/bus";
    ::mkdir(bus.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", bus.c_str(), 1);
    board_ = map_board();
    if (board_ == nullptr) {
        std::perror("sg_torture: mmap");
        return false;
    }
    if (!start_instruments())
        return false;
    // Orphans of killed workers (their forked children) come to this
    // process, which reaps them with their group.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    end_workers_on_interrupt();
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    return true;
}

bool Supervisor::start_instruments() {
    const std::string sgsim = exe_dir() + "/sgsim";
    struct Kind {
        const char* serial;
        bool io_test;
        const char* quirk;
        bool lan;
    };
    // The generator is served on the LAN too, on ports the kernel picks (no
    // root, no namespace): its VXI-11, SOCKET and HiSLIP resources are
    // instruments of the run beside its local bus one, the same simulated
    // device. The
    // I/O test instruments are not: a RECEIVE one link begins holds the
    // others' messages, which the test tracks per resource.
    std::vector<Kind> kinds = {{"TORTURE-GEN", false, nullptr, true},
                               {"TORTURE-IO", true, nullptr, false}};
    // An I/O test instrument that does not stop at the termination
    // character too, where the simulator can play one: the library then
    // keeps what follows the character for the next read.
    if (sim_offers_quirk(sgsim, "ignore-termchar"))
        kinds.push_back({"TORTURE-NOTERM", true, "ignore-termchar", false});
    else
        std::printf("torture: this sgsim has no quirk ignore-termchar: two instruments only\n");
    for (const Kind& kind : kinds) {
        std::vector<std::string> args = {"--serial", kind.serial};
        if (kind.io_test)
            args.push_back("--io-test");
        if (kind.quirk != nullptr)
            args.insert(args.end(), {"--quirk", kind.quirk});
        if (kind.lan)
            args.insert(args.end(), {"--lan", "127.0.0.1", "--portmap-port", "0", "--vxi11-port",
                                     "0", "--socket-port", "0", "--hislip-port", "0"});
        args.insert(args.end(), options_.sim_args.begin(), options_.sim_args.end());
        sims_.push_back(std::make_unique<SimInstance>(sgsim, args));
        if (!sims_.back()->ready()) {
            std::fprintf(stderr, "sg_torture: %s did not start\n", sgsim.c_str());
            return false;
        }
        Instrument instrument;
        instrument.resource = sims_.back()->resource();
        instrument.io_test = kind.io_test;
        instrument.identification = std::string("Simulated Signal Sources,") +
                                    (kind.io_test ? "IO-TEST," : "SG-4040,") + kind.serial +
                                    ",1.0\n";
        instrument.simulator = static_cast<int>(instruments_.size());
        instruments_.push_back(instrument);
        if (!kind.lan)
            continue;
        const SimInstance& sim = *sims_.back();
        if (sim.portmap_port() <= 0 || sim.socket_port() <= 0 || sim.hislip_port() <= 0) {
            std::fprintf(stderr, "sg_torture: %s --lan printed no ports\n", sgsim.c_str());
            return false;
        }
        // The workers, forked from here, ask this portmapper.
        ::setenv("SGVISA_PORTMAP_PORT", std::to_string(sim.portmap_port()).c_str(), 1);
        instrument.link = Link::vxi11;
        instrument.resource = "TCPIP::127.0.0.1::INSTR";
        instruments_.push_back(instrument);
        instrument.link = Link::socket;
        instrument.resource = "TCPIP::127.0.0.1::" + std::to_string(sim.socket_port()) + "::SOCKET";
        instruments_.push_back(instrument);
        instrument.link = Link::hislip;
        instrument.resource =
            "TCPIP::127.0.0.1::hislip0," + std::to_string(sim.hislip_port()) + "::INSTR";
        instruments_.push_back(instrument);
    }
    return true;
}

std::vector<int> Supervisor::foreign_fds() const {
    std::vector<int> fds = pool_->descriptors();
    for (const auto& sim : sims_)
        fds.push_back(sim->stdout_fd());
    return fds;
}

void Supervisor::run_round(int round, Rng& rng, std::int64_t end_ns) {
    const std::int64_t round_start = now_ns();
    const std::int64_t round_end =
        std::min(end_ns, round_start + std::int64_t{options_.round_seconds} * 1'000'000'000);
    // At most one kill a round, at a random moment of it.
    const bool kill_now = pool_->incarnations() + 2 < kMaxIncarnations &&
                          rng.percent(static_cast<std::uint32_t>(options_.kill_percent));
    const int victim = static_cast<int>(rng.below(static_cast<std::uint32_t>(options_.processes)));
    const std::int64_t kill_at =
        round_start + static_cast<std::int64_t>(rng.below(1000)) * (round_end - round_start) / 1000;
    // A worker's end ends a watch early; the round goes on unless it ends
    // the run.
    auto watch_until = [&](std::int64_t until) {
        while (now_ns() < until && !stopping())
            pool_->watch_until(until);
    };
    if (kill_now) {
        watch_until(kill_at);
        if (!stopping())
            pool_->kill(victim);
    }
    watch_until(round_end);
    if (stopping())
        return;
    pool_->command_all('P', "paused", kPauseBoundMs);
    // Every session is closed now: what the records still hold belongs to
    // the killed.
    for (InstrumentBoard& ib : board_->instruments) {
        ib.exclusive.store(0);
        ib.lock_holders.store(0);
        // The simulator let a killed worker's device locks go with its
        // connections, before this pause.
        ib.device_lockers.store(0);
    }
    const std::string probed = probe_instruments(options_, *board_, work_dir_, instruments_,
                                                 start_ns_, round, foreign_fds());
    if (!probed.empty())
        fail(probed);
    for (const auto& sim : sims_) {
        if (!sim->alive())
            fail("a simulated instrument (pid " + std::to_string(sim->pid()) + ") died");
    }
    if (board_->violations.load() != 0)
        failed_ = true;
    if (stopping())
        return;
    for (int i = 0; i < pool_->size(); ++i) {
        if (!pool_->alive(i))
            pool_->spawn(i);
    }
    if (now_ns() < end_ns)
        pool_->command_all('R', "resumed", 10'000);
    if (options_.verbose)
        std::printf("round %d done\n", round);
}

int Supervisor::run() {
    start_ns_ = now_ns();
    if (!set_up())
        return 2;
    std::printf("torture: seed %llu, %d s, %d processes x %d threads, rounds of %d s\n",
                static_cast<unsigned long long>(options_.seed), options_.seconds,
                options_.processes, options_.threads, options_.round_seconds);
    for (const Instrument& instrument : instruments_)
        std::printf("  %s\n", instrument.resource.c_str());
    std::fflush(stdout);

    WorkerSetup setup;
    setup.options = &options_;
    setup.board = board_;
    setup.work_dir = work_dir_;
    setup.instruments = instruments_;
    setup.run_start_ns = start_ns_;
    std::vector<int> sim_fds;
    for (const auto& sim : sims_)
        sim_fds.push_back(sim->stdout_fd());
    pool_ = std::make_unique<WorkerPool>(
        setup, sim_fds, options_.processes, [this](const std::string& what) { fail(what); },
        options_.verbose);
    for (int i = 0; i < options_.processes; ++i)
        pool_->spawn(i);

    Rng rng(options_.seed, {0xC0FFEE});
    const std::int64_t end_ns = start_ns_ + std::int64_t{options_.seconds} * 1'000'000'000;
    int round = 0;
    while (!stopping() && now_ns() < end_ns)
        run_round(++round, rng, end_ns);

    // The end: workers finish (a last pause and leak check), the
    // instruments stop cleanly.
    if (stopping()) {
        pool_->kill_all();
    } else {
        pool_->command_all('F', "finished", kPauseBoundMs);
        pool_->reap_all();
    }
    for (const auto& sim : sims_) {
        std::string out;
        const int status = sim->stop(out);
        if (status != 0)
            fail("a simulated instrument ended with status " + std::to_string(status));
    }
    if (board_->violations.load() != 0)
        failed_ = true;
    print_summary(*board_, work_dir_, options_, round, pool_->incarnations(), pool_->kills());
    print_reports(work_dir_);
    for (const std::string& f : failures_)
        std::printf("\nFAILED: %s\n", f.c_str());
    if (failed_) {
        std::printf(
            "\nFAILED (%u violations); seed %llu; run it again with:\n  %s\n"
            "the run's files are in %s\n",
            board_->violations.load(), static_cast<unsigned long long>(options_.seed),
            options_.rerun_command().c_str(), work_dir_.c_str());
        return 1;
    }
    std::printf("passed\n");
    if (own_work_dir_) {
        const std::string rm = "rm -rf '" + work_dir_ + "'";
        if (std::system(rm.c_str()) != 0)
            std::fprintf(stderr, "sg_torture: could not remove %s\n", work_dir_.c_str());
    }
    return 0;
}

}  // namespace

int run_supervisor(Options options) {
    Supervisor s(std::move(options));
    return s.run();
}

}  // namespace torture
