// sgvisa: the USBTMC instruments on this machine, what they can do, and
// commands sent to one of them.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "command_line.h"
#include "commands.h"

int main(int argc, char** argv) {
    // A reader that goes away (sgvisa list | head) ends the output, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    sgvisa_tool::Options options;
    std::string error;
    if (!sgvisa_tool::parse_command_line(argc, argv, options, error)) {
        std::fprintf(stderr, "sgvisa: %s\n%s", error.c_str(), sgvisa_tool::usage_text().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(sgvisa_tool::usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version)
        return sgvisa_tool::run_version(stdout, stderr);
    try {
        if (options.command == "list")
            return sgvisa_tool::run_list(options, stdout, stderr);
        if (options.command == "info")
            return sgvisa_tool::run_info(options, stdout, stderr);
        return sgvisa_tool::run_query(options, stdout, stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sgvisa: %s\n", e.what());
        return 1;
    }
}
