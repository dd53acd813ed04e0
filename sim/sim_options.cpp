#include "sim_options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "quirk_option.h"

namespace sgsim {
namespace {

// A decimal number in [lo, hi].
bool parse_number(std::string_view text, unsigned long lo, unsigned long hi, unsigned long& out) {
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= lo && out <= hi;
}

bool valid_serial(std::string_view s) {
    if (s.empty() || s.size() > 126)
        return false;
    for (const char c : s) {
        // A resource name separates its fields with "::"; keep serials printable.
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F ||
            c == ':')
            return false;
    }
    return true;
}

}  // namespace

std::string sim_usage() {
    return "usage: sgsim [--serial SN] [--log FILE] [--record FILE] [--reply-delay MS]\n"
           "             [--no-reply] [--idn TEXT] [--no-newline] [--split N] [--gadget DIR]\n"
           "             [--io-test] [--no-interrupt-in] [--quirk NAME[,NAME...]]... [--help]\n"
           "             [--version] [--lan [ADDR]] [--portmap-port N] [--vxi11-port N]\n"
           "             [--socket-port N] [--hislip-port N] [--no-mdns]\n";
}

std::string sim_version() {
    return std::string("sgsim ") + SG_VERSION + "\n";
}

std::string sim_help() {
    return sim_usage() +
           "\n--lan [ADDR] serves the instrument on the LAN as well, on ADDR (IPv4, default\n"
           "127.0.0.1; 0.0.0.0 for every address): a portmapper on TCP and UDP port 111\n"
           "(--portmap-port), VXI-11 on the port it gives (--vxi11-port, default: the\n"
           "kernel picks), raw SOCKET on 5025 (--socket-port) and HiSLIP on 4880\n"
           "(--hislip-port; also on [::1], or [::] with 0.0.0.0); port 0 lets the kernel\n"
           "pick. Ports below 1024 need root: without it, run sgsim in a network namespace\n"
           "of its own (unshare -rn) or give high ports. The ready line says where it\n"
           "listens. HiSLIP prefers synchronized mode (quirk hislip-prefer-overlap:\n"
           "overlapped). On an address of an interface with multicast (or 0.0.0.0) an\n"
           "mDNS responder of its own advertises the services (_vxi-11._tcp,\n"
           "_scpi-raw._tcp, _hislip._tcp) as sgsim-SN.local, and the portmapper answers\n"
           "broadcasts; --no-mdns: no adverts.\n"
           "\nQuirks: deviations of real instruments the device shows (--split N is split:N):\n" +
           quirk_help();
}

bool parse_sim_options(int argc, const char* const* argv, SimOptions& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view opt = argv[i];
        const auto value = [&](std::string_view& v) {
            if (i + 1 >= argc) {
                error = std::string(opt) + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        std::string_view v;
        unsigned long n = 0;
        if (opt == "--help") {
            out.help = true;
            return true;
        } else if (opt == "--version") {
            out.version = true;
            return true;
        } else if (opt == "--quirk") {
            if (!value(v))
                return false;
            if (!parse_quirks(v, out.faults.quirks, error))
                return false;
        } else if (opt == "--serial") {
            if (!value(v))
                return false;
            if (!valid_serial(v)) {
                error = "bad serial number: " + std::string(v);
                return false;
            }
            out.serial = v;
        } else if (opt == "--log") {
            if (!value(v))
                return false;
            if (v.empty()) {
                error = "--log needs a file name";
                return false;
            }
            out.log_path = v;
        } else if (opt == "--record") {
            if (!value(v))
                return false;
            if (v.empty()) {
                error = "--record needs a file name";
                return false;
            }
            out.record_path = v;
        } else if (opt == "--reply-delay") {
            if (!value(v))
                return false;
            if (!parse_number(v, 0, 3'600'000, n)) {
                error = "bad --reply-delay (milliseconds, 0..3600000): " + std::string(v);
                return false;
            }
            out.faults.reply_delay = std::chrono::milliseconds(n);
        } else if (opt == "--no-reply") {
            out.faults.no_reply = true;
        } else if (opt == "--idn") {
            if (!value(v))
                return false;
            out.idn = std::string(v);
        } else if (opt == "--no-newline") {
            out.no_newline = true;
        } else if (opt == "--split") {
            if (!value(v))
                return false;
            if (!parse_number(v, 1, 1u << 20, n)) {
                error = "bad --split (bytes, 1..1048576): " + std::string(v);
                return false;
            }
            out.faults.quirks.split = n;
        } else if (opt == "--io-test") {
            out.io_test = true;
        } else if (opt == "--no-interrupt-in") {
            out.faults.no_interrupt_in = true;
        } else if (opt == "--lan") {
            out.lan = true;
            // The address is optional: the next argument, unless an option.
            if (i + 1 < argc && argv[i + 1][0] != '-')
                out.lan_address = argv[++i];
            in_addr parsed{};
            if (::inet_pton(AF_INET, out.lan_address.c_str(), &parsed) != 1) {
                error = "bad --lan address (IPv4, as 127.0.0.1): " + out.lan_address;
                return false;
            }
        } else if (opt == "--portmap-port" || opt == "--vxi11-port" || opt == "--socket-port" ||
                   opt == "--hislip-port") {
            if (!value(v))
                return false;
            if (!parse_number(v, 0, 65535, n)) {
                error = "bad " + std::string(opt) + " (0..65535): " + std::string(v);
                return false;
            }
            (opt == "--portmap-port"  ? out.portmap_port
             : opt == "--vxi11-port"  ? out.vxi11_port
             : opt == "--socket-port" ? out.socket_port
                                      : out.hislip_port) = static_cast<unsigned>(n);
        } else if (opt == "--no-mdns") {
            out.mdns = false;
        } else if (opt == "--gadget") {
            if (!value(v))
                return false;
            if (v.empty()) {
                error = "--gadget needs a directory";
                return false;
            }
            out.gadget_dir = v;
        } else {
            error = "unknown option: " + std::string(opt);
            return false;
        }
    }
    if (out.lan && !out.gadget_dir.empty()) {
        error = "--lan serves beside the local bus, not with --gadget";
        return false;
    }
    return true;
}

}  // namespace sgsim
