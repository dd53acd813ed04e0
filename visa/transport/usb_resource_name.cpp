// Parsing of USB INSTR resource names:
//   USB[board]::manufacturer ID::model code::serial number[::interface][::INSTR]
//
// The keywords USB and INSTR are case-insensitive. IDs are hexadecimal with a
// 0x/0X prefix or decimal, and must fit 16 bits. Every field must be present
// and non-empty; the serial number is printable ASCII without white space or
// colons, at most 126 characters (the longest USB string descriptor). Names
// of other interface types or resource classes (TCPIP0::..., ...::RAW) are
// not names this library can open and are rejected as invalid.
#include <cstddef>
#include <cstdio>
#include <utility>
#include <vector>

#include "transport/usb_resource_name.h"

namespace sgvisa {
namespace {

constexpr std::size_t kMaxSerialLength = 126;

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool keyword_equal(std::string_view text, std::string_view upper_keyword) {
    if (text.size() != upper_keyword.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (fold(text[i]) != upper_keyword[i])
            return false;
    }
    return true;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decimal digits only, value at most `max`.
bool parse_decimal(std::string_view text, unsigned long max, unsigned long& out) {
    if (text.empty())
        return false;
    unsigned long value = 0;
    for (char c : text) {
        if (!is_digit(c))
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > max)
            return false;
    }
    out = value;
    return true;
}

// A 16-bit ID: 0x/0X followed by hex digits, or decimal digits.
bool parse_id(std::string_view text, std::uint16_t& out) {
    unsigned long value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        for (char c : text.substr(2)) {
            const int v = hex_value(c);
            if (v < 0)
                return false;
            value = value * 16 + static_cast<unsigned long>(v);
            if (value > 0xFFFF)
                return false;
        }
    } else if (!parse_decimal(text, 0xFFFF, value)) {
        return false;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool valid_serial(std::string_view text) {
    if (text.empty() || text.size() > kMaxSerialLength)
        return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == ':')
            return false;
    }
    return true;
}

// Splits at every "::". A field that still holds a ':' (":::" or a lone
// colon) makes the name invalid, which the caller detects per field.
std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t sep = text.find("::", start);
        if (sep == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, sep - start));
        start = sep + 2;
    }
}

bool parse_interface_keyword(std::string_view text, unsigned& board) {
    if (text.size() < 3 || !keyword_equal(text.substr(0, 3), "USB"))
        return false;
    const std::string_view digits = text.substr(3);
    if (digits.empty()) {
        board = 0;
        return true;
    }
    unsigned long value = 0;
    if (!parse_decimal(digits, 0xFFFF, value))
        return false;
    board = static_cast<unsigned>(value);
    return true;
}

}  // namespace

ViStatus parse_usb_resource_name(std::string_view text, UsbResourceName& out) {
    const std::vector<std::string_view> fields = split_fields(text);
    if (fields.size() < 4 || fields.size() > 6)
        return VI_ERROR_INV_RSRC_NAME;
    for (std::string_view f : fields) {
        if (f.empty() || f.find(':') != std::string_view::npos)
            return VI_ERROR_INV_RSRC_NAME;
    }

    UsbResourceName name;
    if (!parse_interface_keyword(fields[0], name.board))
        return VI_ERROR_INV_RSRC_NAME;
    if (!parse_id(fields[1], name.vendor_id))
        return VI_ERROR_INV_RSRC_NAME;
    if (!parse_id(fields[2], name.product_id))
        return VI_ERROR_INV_RSRC_NAME;
    if (!valid_serial(fields[3]))
        return VI_ERROR_INV_RSRC_NAME;
    name.serial = std::string(fields[3]);

    std::size_t next = 4;
    if (next < fields.size() && !keyword_equal(fields[next], "INSTR")) {
        unsigned long iface = 0;
        if (!parse_decimal(fields[next], 255, iface))
            return VI_ERROR_INV_RSRC_NAME;
        name.interface_number = static_cast<int>(iface);
        ++next;
    }
    if (next < fields.size()) {
        if (!keyword_equal(fields[next], "INSTR"))
            return VI_ERROR_INV_RSRC_NAME;
        ++next;
    }
    if (next != fields.size())
        return VI_ERROR_INV_RSRC_NAME;

    out = std::move(name);
    return VI_SUCCESS;
}

std::string canonical_name(const UsbResourceName& name) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "USB%u::0x%04X::0x%04X::", name.board, name.vendor_id,
                  name.product_id);
    return ids + name.serial +
           "::" + std::to_string(name.interface_number < 0 ? 0 : name.interface_number) + "::INSTR";
}

bool serial_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

}  // namespace sgvisa
