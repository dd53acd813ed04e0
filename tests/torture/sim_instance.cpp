#include "sim_instance.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

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
    if (!child_.start(options))
        return;
    // "sgsim: LAN <addr>: portmapper P (TCP, UDP), VXI-11 C (abort A), SOCKET S,
    // HiSLIP H" with --lan, then "sgsim: <resource> ready".
    const auto deadline = sgtest::Clock::now() + seconds(10);
    std::string out;
    while (sgtest::read_until(child_.output(), deadline, out, "\n")) {
        const auto nl = out.find('\n');
        const std::string line = out.substr(0, nl);
        out.erase(0, nl + 1);
        if (line.find(": LAN ") != std::string::npos) {
            const auto number_after = [&](const char* word) {
                const auto at = line.find(word);
                return at == std::string::npos ? 0
                                               : std::atoi(line.c_str() + at + std::strlen(word));
            };
            portmap_port_ = number_after("portmapper ");
            socket_port_ = number_after("SOCKET ");
            hislip_port_ = number_after("HiSLIP ");
            continue;
        }
        const auto start = line.find("USB");
        const auto end = line.find("::INSTR");
        if (start != std::string::npos && end != std::string::npos)
            resource_ = line.substr(start, end + 7 - start);
        break;
    }
    pending_ = out;
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
