#include "supervisor.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "clock.h"
#include "probe.h"
#include "random.h"
#include "reporter.h"
#include "sim_instance.h"
#include "status_names.h"
#include "worker.h"

namespace torture {
namespace {

// Worker process groups to end should the run itself be interrupted.
volatile sig_atomic_t g_groups[kMaxIncarnations];
volatile sig_atomic_t g_group_count = 0;

extern "C" void on_interrupt(int sig) {
    for (int i = 0; i < g_group_count; ++i) {
        if (g_groups[i] > 0)
            ::kill(-static_cast<pid_t>(g_groups[i]), SIGKILL);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

std::string exe_dir() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string p(path, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

std::string describe_exit(int status) {
    if (WIFEXITED(status)) {
        switch (WEXITSTATUS(status)) {
            case kExitViolation:
                return "ended on a violation";
            case kExitHang:
                return "ended on a hang";
            case kExitSetup:
                return "could not set up (or lost the supervisor)";
            case 66:
                return "exited 66: ThreadSanitizer reported";
            default:
                return "exited " + std::to_string(WEXITSTATUS(status));
        }
    }
    if (WIFSIGNALED(status))
        return "was ended by signal " + std::to_string(WTERMSIG(status)) + " (crashed)";
    return "ended";
}

// Whether `sgsim --help` lists the quirk `name`.
bool sim_offers(const std::string& sgsim, const std::string& name) {
    FILE* help = ::popen(("'" + sgsim + "' --help 2>/dev/null").c_str(), "r");
    if (help == nullptr)
        return false;
    std::string text;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, help)) > 0)
        text.append(buf, n);
    const int status = ::pclose(help);
    return status == 0 && text.find(name) != std::string::npos;
}

struct WorkerProcess {
    pid_t pid = -1;
    std::uint32_t incarnation = 0;
    int command_fd = -1;
    int reply_fd = -1;
    std::string replies;
    bool alive = false;
};

class Supervisor {
  public:
    explicit Supervisor(Options options) : options_(std::move(options)) {}
    int run();

  private:
    bool set_up();
    void spawn(int index);
    void kill_worker(int index);
    // Waits for the worker's exit (it is known to be ending) and notes how.
    void reap(int index, bool killed);
    // Polls the live workers until `deadline_ns`; a death ends the wait.
    void watch_until(std::int64_t deadline_ns);
    // Sends `command` to every live worker and waits for `answer` from each.
    void command_all(char command, const std::string& answer, int bound_ms);
    void probe(int round);
    void fail(const std::string& what);
    void print_reports();
    void print_summary(int rounds);

    Options options_;
    std::string work_dir_;
    bool own_work_dir_ = false;
    Board* board_ = nullptr;
    std::vector<std::unique_ptr<SimInstance>> sims_;
    std::vector<Instrument> instruments_;
    std::vector<WorkerProcess> workers_;
    std::uint32_t next_incarnation_ = 0;
    std::int64_t start_ns_ = 0;
    bool failed_ = false;
    std::vector<std::string> failures_;
    int kills_ = 0;
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
    const std::string sgsim = exe_dir() + "/sgsim";
    struct Kind {
        const char* serial;
        bool io_test;
        const char* quirk;
    };
    std::vector<Kind> kinds = {{"TORTURE-GEN", false, nullptr}, {"TORTURE-IO", true, nullptr}};
    // An I/O test instrument that does not stop at the termination
    // character too, where the simulator can play one: the library then
    // keeps what follows the character for the next read.
    if (sim_offers(sgsim, "ignore-termchar"))
        kinds.push_back({"TORTURE-NOTERM", true, "ignore-termchar"});
    else
        std::printf("torture: this sgsim has no quirk ignore-termchar: two instruments only\n");
    for (const Kind& kind : kinds) {
        std::vector<std::string> args = {"--serial", kind.serial};
        if (kind.io_test)
            args.push_back("--io-test");
        if (kind.quirk != nullptr)
            args.insert(args.end(), {"--quirk", kind.quirk});
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
        instruments_.push_back(instrument);
    }
    // Orphans of killed workers (their forked children) come to this
    // process, which reaps them with their group.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    return true;
}

void Supervisor::spawn(int index) {
    int command[2];
    int reply[2];
    if (::pipe2(command, O_CLOEXEC) != 0 || ::pipe2(reply, O_CLOEXEC) != 0) {
        fail("cannot make the pipes of a worker");
        return;
    }
    WorkerProcess& w = workers_[index];
    w.incarnation = next_incarnation_++;
    w.replies.clear();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        // A worker keeps only its own ends: no other worker's pipes, no
        // instrument's output (no exec follows to close them).
        for (const WorkerProcess& other : workers_) {
            if (other.command_fd >= 0)
                ::close(other.command_fd);
            if (other.reply_fd >= 0)
                ::close(other.reply_fd);
        }
        for (const auto& sim : sims_)
            ::close(sim->stdout_fd());
        ::close(command[1]);
        ::close(reply[0]);
        WorkerSetup setup;
        setup.options = &options_;
        setup.board = board_;
        setup.work_dir = work_dir_;
        setup.incarnation = w.incarnation;
        setup.instruments = instruments_;
        setup.command_fd = command[0];
        setup.reply_fd = reply[1];
        setup.run_start_ns = start_ns_;
        run_worker(std::move(setup));
    }
    ::close(command[0]);
    ::close(reply[1]);
    if (pid < 0) {
        ::close(command[1]);
        ::close(reply[0]);
        fail("cannot fork a worker");
        return;
    }
    ::setpgid(pid, pid);
    w.pid = pid;
    w.command_fd = command[1];
    w.reply_fd = reply[0];
    w.alive = true;
    g_groups[w.incarnation % kMaxIncarnations] = pid;
    const int used = static_cast<int>(w.incarnation % kMaxIncarnations) + 1;
    if (g_group_count < used)
        g_group_count = used;
    if (options_.verbose)
        std::printf("worker %d: incarnation %u, pid %d\n", index, w.incarnation, pid);
}

void Supervisor::reap(int index, bool killed) {
    WorkerProcess& w = workers_[index];
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(w.pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    // Its children (a child closing what it inherited), now this process's
    // (see set_up()), go with it before the next probe: they hold the
    // worker's descriptors, and with them its locks.
    if (!killed)
        ::kill(-w.pid, SIGKILL);
    int ignored = 0;
    while (::waitpid(-w.pid, &ignored, 0) > 0 || errno == EINTR) {
    }
    ::close(w.command_fd);
    ::close(w.reply_fd);
    w.command_fd = -1;
    w.reply_fd = -1;
    w.alive = false;
    g_groups[w.incarnation % kMaxIncarnations] = 0;
    if (!killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        fail("worker incarnation " + std::to_string(w.incarnation) + " (pid " +
             std::to_string(w.pid) + ") " + describe_exit(status));
    }
}

void Supervisor::kill_worker(int index) {
    WorkerProcess& w = workers_[index];
    if (!w.alive)
        return;
    // Known before the kill, so that no worker takes what the killed one
    // leaves (a held lock, a reply) for the library's fault.
    board_->killed[w.incarnation % kMaxIncarnations].store(1);
    board_->kills.fetch_add(1);
    ++kills_;
    if (options_.verbose)
        std::printf("killing worker %d (incarnation %u, pid %d)\n", index, w.incarnation, w.pid);
    ::kill(-w.pid, SIGKILL);
    reap(index, true);
}

void Supervisor::watch_until(std::int64_t deadline_ns) {
    for (;;) {
        const std::int64_t left_ms = (deadline_ns - now_ns()) / 1'000'000;
        if (left_ms <= 0)
            return;
        std::vector<pollfd> fds;
        std::vector<int> which;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            if (workers_[i].alive) {
                fds.push_back({workers_[i].reply_fd, POLLIN, 0});
                which.push_back(static_cast<int>(i));
            }
        }
        const int r = ::poll(fds.data(), fds.size(), static_cast<int>(left_ms));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            WorkerProcess& w = workers_[which[k]];
            char buf[256];
            const ssize_t n = ::read(w.reply_fd, buf, sizeof buf);
            if (n > 0) {
                w.replies.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            reap(which[k], false);  // it ended without being asked to
            return;
        }
    }
}

void Supervisor::command_all(char command, const std::string& answer, int bound_ms) {
    for (WorkerProcess& w : workers_) {
        if (w.alive)
            (void)!::write(w.command_fd, &command, 1);
    }
    const std::int64_t deadline = now_ns() + std::int64_t{bound_ms} * 1'000'000;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        WorkerProcess& w = workers_[i];
        while (w.alive && w.replies.find(answer + "\n") == std::string::npos) {
            const std::int64_t left_ms = (deadline - now_ns()) / 1'000'000;
            pollfd p{w.reply_fd, POLLIN, 0};
            const int r = left_ms > 0 ? ::poll(&p, 1, static_cast<int>(left_ms)) : 0;
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0) {
                fail("worker incarnation " + std::to_string(w.incarnation) + " did not answer '" +
                     std::string(1, command) + "' within " + std::to_string(bound_ms) + " ms");
                ::kill(-w.pid, SIGKILL);
                reap(static_cast<int>(i), true);
                break;
            }
            char buf[256];
            const ssize_t n = ::read(w.reply_fd, buf, sizeof buf);
            if (n <= 0) {
                reap(static_cast<int>(i), false);
                break;
            }
            w.replies.append(buf, static_cast<std::size_t>(n));
        }
        const auto at = w.replies.find(answer + "\n");
        if (at != std::string::npos)
            w.replies.erase(0, at + answer.size() + 1);
    }
}

void Supervisor::probe(int round) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const WorkerProcess& w : workers_) {
            if (w.alive) {
                ::close(w.command_fd);
                ::close(w.reply_fd);
            }
        }
        run_probe(options_, *board_, work_dir_, instruments_, start_ns_, round);
    }
    if (pid < 0) {
        fail("cannot fork the probe");
        return;
    }
    // Its opens are bounded; past that (plus a margin) it hangs.
    const int bound_ms =
        static_cast<int>(instruments_.size()) * (2000 + 1000 + 3 * 2000 + options_.slack_ms) + 5000;
    int status = 0;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        if (::poll(&p, 1, bound_ms) == 0) {
            ::kill(pid, SIGKILL);
            fail("the lock probe after round " + std::to_string(round) + " hung (over " +
                 std::to_string(bound_ms) + " ms)");
        }
        ::close(pidfd);
    }
    ::waitpid(pid, &status, 0);
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        fail("the lock probe after round " + std::to_string(round) + " " + describe_exit(status));
}

void Supervisor::fail(const std::string& what) {
    failed_ = true;
    failures_.push_back(what);
}

void Supervisor::print_reports() {
    DIR* d = ::opendir(work_dir_.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("violation-", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".txt") == 0)
            names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::ifstream in(work_dir_ + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        std::printf("\n%s", text.str().c_str());
    }
}

void Supervisor::print_summary(int rounds) {
    std::ifstream tally(work_dir_ + "/tally");
    std::map<std::string, int> counts;
    for (std::string line; std::getline(tally, line);)
        ++counts[line];
    if (!counts.empty()) {
        std::printf("\nviolations by invariant:\n");
        for (const auto& [invariant, n] : counts)
            std::printf("%8d  %s\n", n, invariant.c_str());
    }
    std::printf("\n%-22s %8s", "call", "calls");
    for (int c = 0; c < kStatusClassCount; ++c)
        std::printf(" %9s", status_class_name(c));
    std::printf("\n");
    for (int f = 0; f < kFunctionCount; ++f) {
        std::uint64_t total = 0;
        for (int c = 0; c < kStatusClassCount; ++c)
            total += board_->calls[f][c].load();
        if (total == 0)
            continue;
        std::printf("%-22s %8llu", function_name(f), static_cast<unsigned long long>(total));
        for (int c = 0; c < kStatusClassCount; ++c)
            std::printf(" %9llu", static_cast<unsigned long long>(board_->calls[f][c].load()));
        std::printf("\n");
    }
    std::printf("\n%d rounds, %u worker processes (%d killed), %d threads each; seed %llu\n",
                rounds, next_incarnation_, kills_, options_.threads,
                static_cast<unsigned long long>(options_.seed));
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
    Rng rng(options_.seed, {0xC0FFEE});
    workers_.resize(static_cast<std::size_t>(options_.processes));
    for (int i = 0; i < options_.processes; ++i)
        spawn(i);
    const std::int64_t end_ns = start_ns_ + std::int64_t{options_.seconds} * 1'000'000'000;
    // A pause waits for each thread's operation (a worker gives its threads
    // 60 s) and the checks after it.
    const int pause_bound_ms = 90'000;
    int round = 0;
    while (!failed_ || options_.keep_going) {
        ++round;
        const std::int64_t round_start = now_ns();
        const std::int64_t round_end =
            std::min(end_ns, round_start + std::int64_t{options_.round_seconds} * 1'000'000'000);
        // At most one kill a round, at a random moment of it.
        const bool kill_now = next_incarnation_ + 2 < kMaxIncarnations &&
                              rng.percent(static_cast<std::uint32_t>(options_.kill_percent));
        const int victim =
            static_cast<int>(rng.below(static_cast<std::uint32_t>(options_.processes)));
        const std::int64_t kill_at = round_start + static_cast<std::int64_t>(rng.below(1000)) *
                                                       (round_end - round_start) / 1000;
        // A worker's death ends a watch early; the round goes on unless it
        // ends the run.
        auto watch_round_until = [&](std::int64_t until) {
            while (now_ns() < until && (!failed_ || options_.keep_going))
                watch_until(until);
        };
        if (kill_now) {
            watch_round_until(kill_at);
            if (!failed_ || options_.keep_going)
                kill_worker(victim);
        }
        watch_round_until(round_end);
        if (failed_ && !options_.keep_going)
            break;
        command_all('P', "paused", pause_bound_ms);
        // Every session is closed now: what the records still hold belongs
        // to the killed.
        for (InstrumentBoard& ib : board_->instruments) {
            ib.exclusive.store(0);
            ib.lock_holders.store(0);
        }
        probe(round);
        for (const auto& sim : sims_) {
            if (!sim->alive())
                fail("a simulated instrument (pid " + std::to_string(sim->pid()) + ") died");
        }
        if (board_->violations.load() != 0)
            failed_ = true;
        if (failed_ && !options_.keep_going)
            break;
        for (int i = 0; i < options_.processes; ++i) {
            if (!workers_[i].alive)
                spawn(i);
        }
        if (now_ns() >= end_ns)
            break;
        command_all('R', "resumed", 10'000);
        if (options_.verbose)
            std::printf("round %d done\n", round);
    }
    // The end: workers finish (a last pause and leak check), the
    // instruments stop cleanly.
    if (failed_ && !options_.keep_going) {
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            if (workers_[i].alive) {
                ::kill(-workers_[i].pid, SIGKILL);
                reap(static_cast<int>(i), true);
            }
        }
    } else {
        command_all('F', "finished", pause_bound_ms);
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            if (workers_[i].alive)
                reap(static_cast<int>(i), false);
        }
    }
    for (const auto& sim : sims_) {
        std::string out;
        const int status = sim->stop(out);
        if (status != 0)
            fail("a simulated instrument ended with status " + std::to_string(status));
    }
    if (board_->violations.load() != 0)
        failed_ = true;
    print_summary(round);
    print_reports();
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
