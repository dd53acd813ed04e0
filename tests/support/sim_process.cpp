#include "sim_process.h"

#include <signal.h>

#include <fstream>

namespace sgtest {

SimProcess::SimProcess(const std::string& runtime_dir, const std::string& serial,
                       const std::vector<std::string>& extra_args) {
    log_path_ = runtime_dir + "/received-" + serial + ".log";
    ChildProcess::Options options;
    options.argv = {std::string(SG_BIN_DIR) + "/sgsim", "--serial", serial, "--log", log_path_};
    options.argv.insert(options.argv.end(), extra_args.begin(), extra_args.end());
    options.env = {{"XDG_RUNTIME_DIR", runtime_dir}};
    options.out = ChildProcess::kPipe;
    if (!child_.start(options))
        return;
    // Wait for the ready line, which names the VISA resource.
    std::string out;
    if (!read_until(child_.output(), Clock::now() + std::chrono::seconds(10), out, "\n"))
        return;
    const auto nl = out.find('\n');
    ready_line_ = out.substr(0, nl);
    pending_ = out.substr(nl + 1);
    ready_ = ready_line_.find("::INSTR") != std::string::npos;
}

std::vector<std::string> SimProcess::received() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string SimProcess::stop() {
    if (!child_.started() || child_.reaped())
        return {};
    child_.signal(SIGTERM);
    std::string out = pending_;
    pending_.clear();
    read_to_end(child_.output(), Clock::now() + std::chrono::seconds(5), out);
    child_.wait(std::chrono::seconds(5));
    return out;
}

}  // namespace sgtest
