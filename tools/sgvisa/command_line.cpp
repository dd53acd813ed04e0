#include "command_line.h"

#include <charconv>
#include <string_view>

namespace sgvisa_tool {

std::string usage_text() {
    return "usage: sgvisa [--json] [--timeout MS] list\n"
           "       sgvisa [--json] [--timeout MS] info RESOURCE\n"
           "       sgvisa [--json] [--timeout MS] [--max-reply BYTES]\n"
           "              query RESOURCE 'CMD' ['CMD'...]\n"
           "       sgvisa --help | --version\n"
           "\n"
           "  list    every USBTMC instrument on USB and on the local bus (simulators):\n"
           "          resource name, maker, model, serial, where it is, the driver that\n"
           "          holds it, and whether you may open it (if not: why, and the fix).\n"
           "          Talks to no instrument. Then the instruments that answer on the\n"
           "          LAN (VXI-11 broadcast, mDNS) within SGVISA_DISCOVERY_MS (0: none).\n"
           "  info    what RESOURCE can do (USBTMC and USB488 capabilities), the quirk\n"
           "          switches the library applies to it, its locks and who holds them;\n"
           "          for a TCPIP resource, its protocol, address and identification.\n"
           "  query   sends each CMD (a line end is added); prints the reply of each\n"
           "          one that has a '?'. RESOURCE may be USB or TCPIP (INSTR, SOCKET).\n"
           "\n"
           "  --json        one JSON document on standard output\n"
           "  --timeout MS  each operation's timeout, and how long an open waits for\n"
           "                another program (default 2000)\n"
           "  --max-reply BYTES  query: the longest reply kept (default 67108864,\n"
           "                64 MiB); a longer one ends the query with exit status 1\n"
           "  --version     the library's version and the VISA specification's\n"
           "\n"
           "Exit status: 0 done, 1 failed (the reason on standard error), 2 bad usage.\n";
}

bool parse_command_line(int argc, const char* const* argv, Options& out, std::string& error) {
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options_end && arg == "--") {
            options_end = true;
        } else if (!options_end && arg == "--help") {
            out.help = true;
            return true;
        } else if (!options_end && arg == "--version") {
            out.version = true;
            return true;
        } else if (!options_end && arg == "--json") {
            out.json = true;
        } else if (!options_end && arg == "--max-reply") {
            const std::string_view v = i + 1 < argc ? argv[++i] : "";
            unsigned long long bytes = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), bytes);
            if (v.empty() || ec != std::errc{} || end != v.data() + v.size() || bytes == 0 ||
                bytes > (1ull << 32)) {
                error = "bad --max-reply (bytes, 1..4294967296): " + std::string(v);
                return false;
            }
            out.max_reply = static_cast<std::size_t>(bytes);
        } else if (!options_end && arg == "--timeout") {
            if (i + 1 >= argc) {
                error = "--timeout needs a value in milliseconds";
                return false;
            }
            const std::string_view v = argv[++i];
            unsigned long ms = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), ms);
            if (v.empty() || ec != std::errc{} || end != v.data() + v.size() || ms == 0 ||
                ms > 3'600'000) {
                error = "bad --timeout (milliseconds, 1..3600000): " + std::string(v);
                return false;
            }
            out.timeout_ms = static_cast<std::uint32_t>(ms);
        } else if (!options_end && arg.size() > 1 && arg[0] == '-' && out.command.empty()) {
            error = "unknown option: " + std::string(arg);
            return false;
        } else if (out.command.empty()) {
            out.command = arg;
        } else {
            out.args.emplace_back(arg);
        }
    }
    if (out.command.empty()) {
        error = "no command given";
        return false;
    }
    if (out.command != "list" && out.command != "info" && out.command != "query") {
        error = "unknown command: " + out.command;
        return false;
    }
    return true;
}

}  // namespace sgvisa_tool
