#include "transport/resource_syntax.h"

#include <vector>

#include "decimal_field.h"
#include "transport/lan_resource_name.h"
#include "transport/usb_resource_name.h"

namespace sgvisa {
namespace {

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::vector<std::string_view> fields_of(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t sep = text.find("::");
        fields.push_back(text.substr(0, sep));
        if (sep == std::string_view::npos)
            return fields;
        text.remove_prefix(sep + 2);
    }
}

// "GPIB3" -> keyword GPIB, board 3 ("GPIB" -> board 0).
bool split_interface(std::string_view field, std::string_view keyword, std::uint16_t& board) {
    if (field.size() < keyword.size() || upper(field.substr(0, keyword.size())) != keyword)
        return false;
    const std::string_view digits = field.substr(keyword.size());
    unsigned long b = 0;
    if (!digits.empty() && !decimal_field(digits, 0xFFFF, b))
        return false;
    board = static_cast<std::uint16_t>(b);
    return true;
}

ViStatus done(std::uint16_t type, std::uint16_t board, const char* cls, std::string canonical,
              ResourceSyntax& out) {
    out.interface_type = type;
    out.board = board;
    out.resource_class = cls;
    out.canonical = std::move(canonical);
    return VI_SUCCESS;
}

ViStatus parse_gpib(const std::vector<std::string_view>& f, std::uint16_t board,
                    ResourceSyntax& out) {
    const std::string prefix = "GPIB" + std::to_string(board) + "::";
    if (f.size() == 2 && upper(f[1]) == "INTFC")
        return done(VI_INTF_GPIB, board, "INTFC", prefix + "INTFC", out);
    std::size_t n = f.size();
    if (n >= 2 && upper(f[n - 1]) == "INSTR")
        --n;
    unsigned long primary = 0;
    unsigned long secondary = 0;
    if (n < 2 || n > 3 || !decimal_field(f[1], 30, primary))
        return VI_ERROR_INV_RSRC_NAME;
    std::string name = prefix + std::to_string(primary);
    if (n == 3) {
        if (!decimal_field(f[2], 31, secondary))
            return VI_ERROR_INV_RSRC_NAME;
        name += "::" + std::to_string(secondary);
    }
    return done(VI_INTF_GPIB, board, "INSTR", name + "::INSTR", out);
}

ViStatus parse_tcpip(std::string_view text, std::uint16_t board, ResourceSyntax& out) {
    TcpipSocketName socket;
    if (parse_tcpip_socket_name(text, socket) == VI_SUCCESS)
        return done(VI_INTF_TCPIP, board, "SOCKET", canonical_name(socket), out);
    TcpipInstrName instr;
    if (parse_tcpip_instr_name(text, instr) == VI_SUCCESS)
        return done(VI_INTF_TCPIP, board, "INSTR", canonical_name(instr), out);
    return VI_ERROR_INV_RSRC_NAME;
}

}  // namespace

ViStatus parse_resource_syntax(std::string_view text, ResourceSyntax& out) {
    const auto f = fields_of(text);
    std::uint16_t board = 0;
    if (split_interface(f[0], "GPIB", board) && upper(f[0]).find("GPIB-VXI") != 0)
        return parse_gpib(f, board, out);
    if (split_interface(f[0], "TCPIP", board))
        return parse_tcpip(text, board, out);
    if (split_interface(f[0], "ASRL", board)) {
        if (f.size() > 2 || (f.size() == 2 && upper(f[1]) != "INSTR"))
            return VI_ERROR_INV_RSRC_NAME;
        return done(VI_INTF_ASRL, board, "INSTR", "ASRL" + std::to_string(board) + "::INSTR", out);
    }
    if (split_interface(f[0], "USB", board) && f.size() >= 5 && upper(f.back()) == "RAW") {
        // A RAW name is an INSTR name with another class.
        const std::string_view instr = text.substr(0, text.size() - 3);
        UsbResourceName name;
        if (parse_usb_resource_name(std::string(instr) + "INSTR", name) != VI_SUCCESS)
            return VI_ERROR_INV_RSRC_NAME;
        std::string canonical = canonical_name(name);
        canonical.replace(canonical.size() - 5, 5, "RAW");
        return done(VI_INTF_USB, static_cast<std::uint16_t>(name.board), "RAW", canonical, out);
    }
    UsbResourceName name;
    if (parse_usb_resource_name(text, name) != VI_SUCCESS)
        return VI_ERROR_INV_RSRC_NAME;
    return done(VI_INTF_USB, static_cast<std::uint16_t>(name.board), "INSTR", canonical_name(name),
                out);
}

}  // namespace sgvisa
