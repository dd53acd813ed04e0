#include "quirk_option.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace sgsim {
namespace {

constexpr unsigned long kMaxBytes = 1ul << 20;
constexpr unsigned long kMaxMs = 3'600'000;
// A HiSLIP maximum message size below a header and a few bytes of data
// leaves a client nothing to send with.
constexpr unsigned long kMinHislipMessage = 32;

constexpr std::array<QuirkRow, 26> kQuirks{{
    {"packet64", "", 0, 0, "at most 64 bytes per bulk-IN packet on a 512-byte endpoint",
     [](DeviceQuirks& q, unsigned long) { q.packet64 = true; }},
    {"split", "N", 1, kMaxBytes, "replies in transfers of at most N data bytes, EOM on the last",
     [](DeviceQuirks& q, unsigned long n) { q.split = n; }},
    {"eom-always", "N", 1, kMaxBytes, "transfers of at most N data bytes, every one with EOM set",
     [](DeviceQuirks& q, unsigned long n) { q.eom_always = n; }},
    {"eom-never", "", 0, 0, "no transfer has EOM; a reply ends at its linefeed",
     [](DeviceQuirks& q, unsigned long) { q.eom_never = true; }},
    {"no-zlp", "", 0, 0, "no zero-length packet after a transfer that fills its last packet",
     [](DeviceQuirks& q, unsigned long) { q.no_zlp = true; }},
    {"leading-empty", "", 0, 0, "a zero-length packet before each reply transfer",
     [](DeviceQuirks& q, unsigned long) { q.leading_empty = true; }},
    {"size-skew", "", 0, 0, "a reply's last transfer carries its last byte beyond TransferSize",
     [](DeviceQuirks& q, unsigned long) { q.size_skew = true; }},
    {"ignore-termchar", "", 0, 0, "TermChar claimed in the capabilities but ignored",
     [](DeviceQuirks& q, unsigned long) { q.ignore_termchar = true; }},
    {"leftover", "", 0, 0, "the first host's first read gets an old reply with a foreign bTag",
     [](DeviceQuirks& q, unsigned long) { q.leftover = true; }},
    {"late", "MS", 1, kMaxMs,
     "replies come MS ms after their request (LAN too); an abort keeps them",
     [](DeviceQuirks& q, unsigned long ms) { q.late = std::chrono::milliseconds(ms); }},
    {"tag-repeat", "", 0, 0,
     "transfers that continue a reply repeat the bTag of its first transfer",
     [](DeviceQuirks& q, unsigned long) { q.tag_repeat = true; }},
    {"empty-when-idle", "", 0, 0,
     "a request finding no response gets TransferSize 0, no EOM, at once",
     [](DeviceQuirks& q, unsigned long) { q.empty_when_idle = true; }},
    {"stall-remote", "", 0, 0, "claims REN_CONTROL, GO_TO_LOCAL and LOCAL_LOCKOUT, but stalls them",
     [](DeviceQuirks& q, unsigned long) { q.stall_remote = true; }},
    {"halt-after-close", "", 0, 0,
     "bulk endpoints stay halted after a host goes away, until cleared",
     [](DeviceQuirks& q, unsigned long) { q.halt_after_close = true; }},
    {"clear-pending", "", 0, 0, "INITIATE_CLEAR accepted; CHECK_CLEAR_STATUS then answers PENDING",
     [](DeviceQuirks& q, unsigned long) { q.clear_pending = true; }},
    {"max-recv", "N", 1, kMaxBytes, "LAN: VXI-11 maxRecvSize N; a longer device_write gets error 5",
     [](DeviceQuirks& q, unsigned long n) { q.max_recv = static_cast<std::uint32_t>(n); }},
    {"ignore-request-size", "", 0, 0,
     "LAN: device_read gives the whole reply, whatever requestSize",
     [](DeviceQuirks& q, unsigned long) { q.ignore_request_size = true; }},
    {"read-cap", "N", 1, kMaxBytes, "LAN: device_read gives at most N bytes, no reason bit if cut",
     [](DeviceQuirks& q, unsigned long n) { q.read_cap = static_cast<std::uint32_t>(n); }},
    {"no-waitlock", "", 0, 0, "LAN: VXI-11 calls with the waitlock flag get error 8",
     [](DeviceQuirks& q, unsigned long) { q.refuse_waitlock = true; }},
    {"srq-long-fragment", "", 0, 0,
     "LAN: device_intr_srq's fragment length counts 4 bytes too many",
     [](DeviceQuirks& q, unsigned long) { q.srq_long_fragment = true; }},
    {"one-connection", "", 0, 0, "LAN: a second VXI-11 or SOCKET connection is closed at once",
     [](DeviceQuirks& q, unsigned long) { q.one_connection = true; }},
    {"hislip-sync-only", "", 0, 0, "HiSLIP: synchronized mode only, whatever the client asks",
     [](DeviceQuirks& q, unsigned long) { q.hislip_sync_only = true; }},
    {"hislip-prefer-overlap", "", 0, 0, "HiSLIP: offers overlapped mode (default: synchronized)",
     [](DeviceQuirks& q, unsigned long) { q.hislip_prefer_overlap = true; }},
    {"hislip-max-message", "N", kMinHislipMessage, kMaxBytes,
     "HiSLIP: clients may send N-byte messages at most; longer get Error 4",
     [](DeviceQuirks& q, unsigned long n) {
         q.hislip_max_message = static_cast<std::uint32_t>(n);
     }},
    {"hislip-one-client", "", 0, 0, "HiSLIP: a second client's Initialize gets FatalError 4",
     [](DeviceQuirks& q, unsigned long) { q.hislip_one_client = true; }},
    {"hislip-late-clear-ack", "MS", 1, kMaxMs,
     "HiSLIP: DeviceClearAcknowledge comes MS ms after DeviceClearComplete",
     [](DeviceQuirks& q, unsigned long ms) {
         q.hislip_late_clear_ack_ms = static_cast<std::uint32_t>(ms);
     }},
}};

bool parse_number(std::string_view text, unsigned long lo, unsigned long hi, unsigned long& out) {
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= lo && out <= hi;
}

bool parse_one(std::string_view item, DeviceQuirks& quirks, std::string& error) {
    const std::size_t colon = item.find(':');
    const std::string_view name = item.substr(0, colon);
    const auto row = std::find_if(kQuirks.begin(), kQuirks.end(),
                                  [&](const QuirkRow& r) { return r.name == name; });
    if (row == kQuirks.end()) {
        error = "unknown quirk: " + std::string(name) + " (sgsim --help lists them)";
        return false;
    }
    const bool has_value = colon != std::string_view::npos;
    if (row->parameter.empty()) {
        if (has_value) {
            error = "quirk " + std::string(name) + " takes no value: " + std::string(item);
            return false;
        }
        row->apply(quirks, 0);
        return true;
    }
    unsigned long n = 0;
    if (!has_value || !parse_number(item.substr(colon + 1), row->min, row->max, n)) {
        error = "quirk " + std::string(name) + " needs " + std::string(name) + ":" +
                std::string(row->parameter) + " with " + std::string(row->parameter) + " in " +
                std::to_string(row->min) + ".." + std::to_string(row->max) + ": " +
                std::string(item);
        return false;
    }
    row->apply(quirks, n);
    return true;
}

}  // namespace

std::span<const QuirkRow> quirk_table() {
    return kQuirks;
}

bool parse_quirks(std::string_view list, DeviceQuirks& quirks, std::string& error) {
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (item.empty()) {
            error = "empty quirk name in --quirk";
            return false;
        }
        if (!parse_one(item, quirks, error))
            return false;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    if (quirks.eom_always > 0 && quirks.eom_never) {
        error = "quirks eom-always and eom-never exclude each other";
        return false;
    }
    if (quirks.hislip_sync_only && quirks.hislip_prefer_overlap) {
        error = "quirks hislip-sync-only and hislip-prefer-overlap exclude each other";
        return false;
    }
    if (quirks.late.count() > 0 && quirks.empty_when_idle) {
        error = "quirks late and empty-when-idle exclude each other";
        return false;
    }
    return true;
}

std::string quirk_help() {
    std::size_t width = 0;
    for (const QuirkRow& r : kQuirks)
        width = std::max(width, r.name.size() + (r.parameter.empty() ? 0 : r.parameter.size() + 1));
    std::string text;
    for (const QuirkRow& r : kQuirks) {
        std::string left(r.name);
        if (!r.parameter.empty())
            left += ":" + std::string(r.parameter);
        text += "  " + left + std::string(width - left.size() + 2, ' ') +
                std::string(r.description) + "\n";
    }
    return text;
}

}  // namespace sgsim
