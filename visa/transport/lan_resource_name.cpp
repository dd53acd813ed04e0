// Parsing of TCPIP resource names. The host comes off first: an IPv6
// literal holds "::" itself, so the string can be split on "::" only after
// it. Keywords (TCPIP, INSTR, SOCKET, and the device names' inst, vxi,
// gpib, hislip) are case-insensitive; host and device name are kept as
// written.
#include <cstddef>
#include <vector>

#include "decimal_field.h"
#include "transport/lan_resource_name.h"

namespace sgvisa {
namespace {

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool starts_with_keyword(std::string_view text, std::string_view upper_keyword) {
    if (text.size() < upper_keyword.size())
        return false;
    for (std::size_t i = 0; i < upper_keyword.size(); ++i) {
        if (fold(text[i]) != upper_keyword[i])
            return false;
    }
    return true;
}

bool keyword_equal(std::string_view text, std::string_view upper_keyword) {
    return text.size() == upper_keyword.size() && starts_with_keyword(text, upper_keyword);
}

// Printable, no white space, no colon: a host name, an IPv4 address or a
// device name.
bool plain_text(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == ':')
            return false;
    }
    return true;
}

bool ipv6_text(std::string_view s) {
    if (s.size() < 2 || s.size() > 64)
        return false;
    for (char c : s) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                        (c >= 'A' && c <= 'F') || c == ':' || c == '.' || c == '%' ||
                        (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '_';
        if (!ok)
            return false;
    }
    return s.find(':') != std::string_view::npos;
}

// "TCPIP[board]::[credential@]host" and the fields after the host.
struct LanParts {
    unsigned board = 0;
    std::string host;
    bool secure = false;
    std::string credential;
    std::vector<std::string_view> fields;
};

bool split_lan(std::string_view text, LanParts& out) {
    if (!starts_with_keyword(text, "TCPIP"))
        return false;
    text.remove_prefix(5);
    const std::size_t sep = text.find("::");
    if (sep == std::string_view::npos)
        return false;
    unsigned long board = 0;
    if (sep > 0 && !decimal_field(text.substr(0, sep), 0xFFFF, board))
        return false;
    out.board = static_cast<unsigned>(board);
    text.remove_prefix(sep + 2);

    // A credential ends at the first '@' before the host; the host of a
    // secure name may be an IPv6 literal too.
    if (!text.empty() && text.front() != '[') {
        const std::size_t at = text.find('@');
        if (at != std::string_view::npos && at < text.find("::")) {
            out.secure = true;
            out.credential = std::string(text.substr(0, at));
            text.remove_prefix(at + 1);
        }
    }
    std::string_view host;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        host = text.substr(1, close - 1);
        if (!ipv6_text(host))
            return false;
        text.remove_prefix(close + 1);
        if (!text.empty() && text.substr(0, 2) != "::")
            return false;
    } else {
        host = text.substr(0, text.find("::"));
        if (!plain_text(host))
            return false;
        text.remove_prefix(host.size());
    }
    out.host = std::string(host);
    while (!text.empty()) {
        text.remove_prefix(2);  // the "::" before each field
        const std::size_t next = text.find("::");
        out.fields.push_back(text.substr(0, next));
        text.remove_prefix(next == std::string_view::npos ? text.size() : next);
    }
    for (auto f : out.fields) {
        if (!plain_text(f))
            return false;
    }
    return true;
}

// "<keyword>N[,...]" with N decimal; `rest` is what follows N, from its comma.
bool numbered(std::string_view text, std::string_view upper_keyword, std::string_view& rest) {
    if (!starts_with_keyword(text, upper_keyword))
        return false;
    std::string_view digits = text.substr(upper_keyword.size());
    const std::size_t comma = digits.find(',');
    rest = comma == std::string_view::npos ? std::string_view() : digits.substr(comma);
    digits = digits.substr(0, comma);
    unsigned long n = 0;
    return decimal_field(digits, 0xFFFFFFFF, n);
}

bool device_protocol(std::string_view device, LanProtocol& out) {
    std::string_view rest;
    if (numbered(device, "HISLIP", rest)) {
        unsigned long port = 0;
        if (!rest.empty() && !decimal_field(rest.substr(1), 0xFFFF, port))
            return false;
        out = LanProtocol::hislip;
        return true;
    }
    if (numbered(device, "INST", rest) || numbered(device, "VXI", rest)) {
        out = LanProtocol::vxi11;
        return rest.empty();
    }
    if (numbered(device, "GPIB", rest)) {
        // gpibN,primary[,secondary]: a VXI-11.2 gateway's instrument.
        unsigned long address = 0;
        std::string_view addresses = rest;
        while (!addresses.empty()) {
            addresses.remove_prefix(1);
            const std::size_t comma = addresses.find(',');
            if (!decimal_field(addresses.substr(0, comma), 31, address))
                return false;
            addresses.remove_prefix(comma == std::string_view::npos ? addresses.size() : comma);
        }
        out = LanProtocol::vxi11;
        return true;
    }
    if (starts_with_keyword(device, "HISLIP"))
        return false;  // "hislip" with no number, or a bad one
    // Any other device name is the instrument's to know: VXI-11 takes it.
    out = LanProtocol::vxi11;
    return true;
}

std::string prefix(unsigned board, bool secure, const std::string& credential,
                   const std::string& host) {
    std::string out = "TCPIP" + std::to_string(board) + "::";
    if (secure)
        out += credential + "@";
    return out + spelled_host(host);
}

}  // namespace

std::string spelled_host(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

ViStatus parse_tcpip_instr_name(std::string_view text, TcpipInstrName& out) {
    LanParts parts;
    if (!split_lan(text, parts))
        return VI_ERROR_INV_RSRC_NAME;
    auto& f = parts.fields;
    if (!f.empty() && keyword_equal(f.back(), "INSTR"))
        f.pop_back();
    if (f.size() > 1)
        return VI_ERROR_INV_RSRC_NAME;
    TcpipInstrName name;
    name.board = parts.board;
    name.host = std::move(parts.host);
    name.secure = parts.secure;
    name.credential = std::move(parts.credential);
    if (f.size() == 1) {
        if (keyword_equal(f[0], "SOCKET") || !device_protocol(f[0], name.protocol))
            return VI_ERROR_INV_RSRC_NAME;
        name.device_name = std::string(f[0]);
    }
    out = std::move(name);
    return VI_SUCCESS;
}

ViStatus parse_tcpip_socket_name(std::string_view text, TcpipSocketName& out) {
    LanParts parts;
    if (!split_lan(text, parts))
        return VI_ERROR_INV_RSRC_NAME;
    unsigned long port = 0;
    if (parts.fields.size() != 2 || !keyword_equal(parts.fields[1], "SOCKET") ||
        !decimal_field(parts.fields[0], 0xFFFF, port) || port == 0)
        return VI_ERROR_INV_RSRC_NAME;
    TcpipSocketName name;
    name.board = parts.board;
    name.host = std::move(parts.host);
    name.port = static_cast<std::uint16_t>(port);
    name.secure = parts.secure;
    name.credential = std::move(parts.credential);
    out = std::move(name);
    return VI_SUCCESS;
}

std::string canonical_name(const TcpipInstrName& name) {
    return prefix(name.board, name.secure, name.credential, name.host) + "::" + name.device_name +
           "::INSTR";
}

std::string canonical_name(const TcpipSocketName& name) {
    return prefix(name.board, name.secure, name.credential, name.host) +
           "::" + std::to_string(name.port) + "::SOCKET";
}

}  // namespace sgvisa
