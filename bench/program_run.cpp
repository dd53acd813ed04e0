// bench_program_run: the whole program unattended, as
//   printf 'SIM001\n' | setsid sgdemo
// against a running sgsim, interleaved with a reference program of the same
// console shape. Per run: wall time from exec to exit, CPU time (user +
// system), peak resident set, and the time from exec to the serial-number
// prompt arriving on the pipe. Prints "figure NAME VALUE UNIT" lines.
//
// Peak resident set comes from wait4(): the kernel counts the forked copy of
// this launcher too, until the exec replaces it, so the launcher keeps itself
// small (no iostreams) and reports its own resident set for comparison.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "stats.h"

namespace {

using sgtest::Clock;

constexpr auto kRunBound = std::chrono::seconds(20);
constexpr char kPrompt[] = "Enter serial number: ";

struct Options {
    std::string program;
    std::string reference;
    std::string serial = "SIM001";
    std::string expect = "IDN: Simulated Signal Sources";
    int runs = 40;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const std::string v = argv[i + 1];
        if (a == "--program")
            o.program = v;
        else if (a == "--reference")
            o.reference = v;
        else if (a == "--serial")
            o.serial = v;
        else if (a == "--expect")
            o.expect = v;
        else if (a == "--runs")
            o.runs = std::atoi(v.c_str());
        else
            return false;
    }
    return argc % 2 == 1 && !o.program.empty() && o.runs > 0;
}

struct Run {
    double wall_ms = 0;
    double to_prompt_ms = 0;
    double cpu_ms = 0;
    double rss_kib = 0;
    std::string output;
};

// Runs `program` once with `input` on standard input and no controlling
// terminal. False, with a message, when it cannot be run or does not end.
bool run_once(const std::string& program, const std::string& input, Run& r) {
    int in[2], when[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(when, O_CLOEXEC) != 0) {
        std::perror("bench: pipe");
        return false;
    }
    // The input fits the pipe: written before the start, then closed.
    const bool wrote = sgtest::write_all(in[1], input);
    ::close(in[1]);
    sgtest::ChildProcess::Options options;
    options.argv = {program};
    options.in = in[0];
    options.out = sgtest::ChildProcess::kPipe;
    options.err = sgtest::ChildProcess::kNull;
    options.new_session = true;
    options.exec_time_fd = when[1];
    sgtest::ChildProcess child;
    const bool started = wrote && child.start(options);
    ::close(in[0]);
    ::close(when[1]);
    if (!started) {
        std::fprintf(stderr, "bench: %s\n", wrote ? child.error().c_str() : "writing the input");
        ::close(when[0]);
        return false;
    }

    const auto deadline = Clock::now() + kRunBound;
    Clock::time_point prompt_at{};
    bool prompt_seen = false;
    r.output.clear();
    while (sgtest::read_some(child.output(), deadline, r.output) > 0) {
        if (!prompt_seen && r.output.find(kPrompt) != std::string::npos) {
            prompt_at = Clock::now();
            prompt_seen = true;
        }
    }
    const int status = child.wait(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now() + kRunBound));
    std::string exec_text;
    sgtest::read_to_end(when[0], Clock::now() + std::chrono::seconds(1), exec_text);
    ::close(when[0]);
    if (status != 0 || exec_text.empty() || !prompt_seen) {
        std::fprintf(stderr, "bench: %s: exit status %d%s%s\n", program.c_str(), status,
                     child.timed_out() ? " (did not end in time; killed)" : "",
                     prompt_seen ? "" : ", no prompt");
        return false;
    }
    const Clock::time_point exec_at{std::chrono::nanoseconds(std::atoll(exec_text.c_str()))};
    const rusage& ru = child.usage();
    r.wall_ms = std::chrono::duration<double, std::milli>(child.ended() - exec_at).count();
    r.to_prompt_ms = std::chrono::duration<double, std::milli>(prompt_at - exec_at).count();
    r.cpu_ms = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    r.rss_kib = static_cast<double>(ru.ru_maxrss);
    return true;
}

long own_rss_kib() {
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f)
        return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::atol(line + 6);
    }
    std::fclose(f);
    return kib;
}

struct Series {
    std::vector<double> wall, prompt, cpu, rss;
    void add(const Run& r) {
        wall.push_back(r.wall_ms);
        prompt.push_back(r.to_prompt_ms);
        cpu.push_back(r.cpu_ms);
        rss.push_back(r.rss_kib);
    }
    void print(const std::string& name) const {
        sgbench::print_summary(name + ".wall", sgbench::summarize(wall), "ms");
        sgbench::print_summary(name + ".exec_to_prompt", sgbench::summarize(prompt), "ms");
        sgbench::print_summary(name + ".cpu", sgbench::summarize(cpu), "ms");
        sgbench::print_summary(name + ".peak_rss", sgbench::summarize(rss), "KiB");
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: %s --program SGDEMO [--reference PROGRAM] [--serial SN] "
                     "[--expect TEXT] [--runs N]\n",
                     argv[0]);
        return 2;
    }
    const std::string input = opt.serial + "\n";
    Series ours, reference;
    const int programs = opt.reference.empty() ? 1 : 2;
    for (int i = 0; i < opt.runs; ++i) {
        for (int k = 0; k < programs; ++k) {
            const bool is_ours = (i + k) % programs == 0;  // alternate which goes first
            Run r;
            if (!run_once(is_ours ? opt.program : opt.reference, input, r))
                return 1;
            if (is_ours && r.output.find(opt.expect) == std::string::npos) {
                std::fprintf(stderr, "bench: %s did not print \"%s\"; its output:\n%s\n",
                             opt.program.c_str(), opt.expect.c_str(), r.output.c_str());
                return 1;
            }
            (is_ours ? ours : reference).add(r);
        }
    }
    ours.print("program");
    if (!opt.reference.empty()) {
        reference.print("program.reference");
        const auto d = [](const std::vector<double>& a, const std::vector<double>& b) {
            return sgbench::summarize(a).median - sgbench::summarize(b).median;
        };
        sgbench::print_figure("program.exec_to_prompt.over_reference",
                              d(ours.prompt, reference.prompt), "ms");
        sgbench::print_figure("program.wall.over_reference", d(ours.wall, reference.wall), "ms");
        sgbench::print_figure("program.peak_rss.over_reference", d(ours.rss, reference.rss), "KiB");
        sgbench::print_ratio("program.ratio.exec_to_prompt_over_reference",
                             sgbench::summarize(ours.prompt), sgbench::summarize(reference.prompt));
        sgbench::print_batch_spread("program.ratio.exec_to_prompt_over_reference", ours.prompt,
                                    reference.prompt);
    }
    sgbench::print_figure("program.launcher_rss", static_cast<double>(own_rss_kib()), "KiB");
    return 0;
}
