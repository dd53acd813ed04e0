#include "sim_instance.h"

#include <signal.h>

#include <chrono>

namespace torture {

using std::chrono::seconds;

bool sim_offers_quirk(const std::string& binary, const std::string& name) {
    sgtest::ChildProcess::Options options;
    options.argv = {binary, "--help"};
    options.out = sgtest::ChildProcess::kPipe;
    options.err = sgtest::ChildProcess::kNull;
    sgtest::ChildProcess help(options);
    std::string text;
    if (help.started())
        sgtest::read_to_end(help.output(), sgtest::Clock::now() + seconds(10), text);
    return help.wait(seconds(10)) == 0 && text.find(name) != std::string::npos;
}

SimInstance::SimInstance(const std::string& binary, const std::vector<std::string>& args) {
    sgtest::ChildProcess::Options options;
    options.argv = {binary};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.out = sgtest::ChildProcess::kPipe;
    std::string out;
    if (!child_.start(options) ||
        !sgtest::read_until(child_.output(), sgtest::Clock::now() + seconds(10), out, "\n"))
        return;
    const auto nl = out.find('\n');
    const std::string line = out.substr(0, nl);
    pending_ = out.substr(nl + 1);
    // "sgsim: <resource> ready"
    const auto start = line.find("USB");
    const auto end = line.find("::INSTR");
    if (start != std::string::npos && end != std::string::npos)
        resource_ = line.substr(start, end + 7 - start);
}

int SimInstance::stop(std::string& out) {
    if (!child_.running())
        return child_.exit_code();
    child_.signal(SIGTERM);
    out = pending_;
    // Its end of the pipe closes; its exit follows.
    sgtest::read_to_end(child_.output(), sgtest::Clock::now() + seconds(5), out);
    return child_.wait(seconds(5));
}

}  // namespace torture
