#include "options.h"

#include <charconv>
#include <sstream>
#include <string_view>

namespace torture {
namespace {

bool number(std::string_view text, long lo, long hi, long& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= lo && out <= hi;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

}  // namespace

std::string usage() {
    return "usage: sg_torture [--seed N] [--seconds N] [--round-seconds N] [--processes N]\n"
           "                  [--threads N] [--kill-percent N] [--fork-percent N]\n"
           "                  [--slack-ms N] [--sim-args ARGS] [--work-dir DIR]\n"
           "                  [--keep-going] [--verbose]\n"
           "Runs worker processes with several threads each against simulated\n"
           "instruments, checking the library's promises throughout; on a\n"
           "violation prints it with the seed and every thread's last calls.\n";
}

std::string Options::rerun_command() const {
    std::ostringstream cmd;
    cmd << "tests/torture/run --seed " << seed << " --seconds " << seconds << " --round-seconds "
        << round_seconds << " --processes " << processes << " --threads " << threads
        << " --kill-percent " << kill_percent << " --fork-percent " << fork_percent
        << " --slack-ms " << slack_ms;
    if (!sim_args.empty()) {
        cmd << " --sim-args '";
        for (std::size_t i = 0; i < sim_args.size(); ++i)
            cmd << (i ? " " : "") << sim_args[i];
        cmd << "'";
    }
    if (keep_going)
        cmd << " --keep-going";
    return cmd.str();
}

bool parse_options(int argc, char** argv, Options& out, std::string& error, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            help = true;
            error = usage();
            return false;
        }
        if (opt == "--keep-going") {
            out.keep_going = true;
            continue;
        }
        if (opt == "--verbose") {
            out.verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = std::string(opt) + " needs a value";
            return false;
        }
        const std::string_view value = argv[++i];
        long n = 0;
        auto numeric = [&](long lo, long hi, int& field) {
            if (!number(value, lo, hi, n)) {
                error = "bad " + std::string(opt) + ": " + std::string(value);
                return false;
            }
            field = static_cast<int>(n);
            return true;
        };
        bool ok = true;
        if (opt == "--seed") {
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), out.seed);
            ok = ec == std::errc() && end == value.data() + value.size();
            out.seed_given = ok;
            if (!ok)
                error = "bad --seed: " + std::string(value);
        } else if (opt == "--seconds") {
            ok = numeric(1, 24 * 3600, out.seconds);
        } else if (opt == "--round-seconds") {
            ok = numeric(1, 600, out.round_seconds);
        } else if (opt == "--processes") {
            ok = numeric(1, 12, out.processes);
        } else if (opt == "--threads") {
            ok = numeric(1, 15, out.threads);
        } else if (opt == "--kill-percent") {
            ok = numeric(0, 100, out.kill_percent);
        } else if (opt == "--fork-percent") {
            ok = numeric(0, 100, out.fork_percent);
        } else if (opt == "--slack-ms") {
            ok = numeric(10, 60000, out.slack_ms);
        } else if (opt == "--sim-args") {
            out.sim_args = words(std::string(value));
        } else if (opt == "--work-dir") {
            out.work_dir = value;
        } else {
            error = "unknown option: " + std::string(opt);
            ok = false;
        }
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace torture
