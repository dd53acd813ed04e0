#include "instrument_text.h"

#include <cstdio>

namespace sgvisa_tool {
namespace {

std::string hex4(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", value);
    return buf;
}

std::string or_none(const std::string& text) {
    return text.empty() ? "(none)" : text;
}

std::string where(const ListedInstrument& item) {
    if (!item.on_usb)
        return "local bus, socket " + item.socket;
    return "USB bus " + std::to_string(item.usb_bus) + ", device " +
           std::to_string(item.usb_device) + ", " + item.device_node;
}

void string_or_null(JsonWriter& json, const char* key, const std::string& value) {
    json.key(key);
    if (value.empty())
        json.null();
    else
        json.string(value);
}

}  // namespace

std::string terminal_text(std::string_view text) {
    std::string out;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = byte(i);
        // The length of a well-formed UTF-8 sequence starting here, 0 if none.
        std::size_t n = c < 0x80                 ? 1
                        : c >= 0xC2 && c <= 0xDF ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        for (std::size_t k = 1; k < n; ++k) {
            if (i + k >= text.size() || (byte(i + k) & 0xC0) != 0x80)
                n = 0;
        }
        // Overlong, surrogate and beyond-U+10FFFF forms are not UTF-8.
        if (n == 3 && ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xED && byte(i + 1) >= 0xA0)))
            n = 0;
        if (n == 4 && ((c == 0xF0 && byte(i + 1) < 0x90) || (c == 0xF4 && byte(i + 1) >= 0x90)))
            n = 0;
        const bool control =
            n == 1 ? (c < 0x20 || c == 0x7F) : n == 2 && c == 0xC2 && byte(i + 1) < 0xA0;
        if (n > 1 && !control) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        if (n == 1 && !control && c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // Escaped: a control character (all of its bytes), a backslash, or a
        // byte that is not UTF-8.
        const std::size_t count = n == 0 ? 1 : n;
        for (std::size_t k = 0; k < count; ++k) {
            const unsigned char b = byte(i + k);
            switch (b) {
                case 0x1B:
                    out += "\\e";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                default: {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", b);
                    out += hex;
                }
            }
        }
        i += count;
    }
    return out;
}

std::string fact_line(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(std::max<std::size_t>(line.size() + 1, 18), ' ');
    return line + terminal_text(value) + "\n";
}

std::string instrument_text(const ListedInstrument& item) {
    std::string text =
        (item.resource.empty() ? "(no resource name)" : terminal_text(item.resource)) + "\n";
    text += fact_line("maker", or_none(item.manufacturer));
    text += fact_line("model", or_none(item.model));
    text += fact_line("serial", or_none(item.serial));
    text += fact_line("IDs", hex4(item.vendor_id) + ":" + hex4(item.product_id) + ", interface " +
                                 std::to_string(item.interface_number) +
                                 (item.usb488 ? " (USB488)" : " (USBTMC)"));
    text += fact_line("where", where(item));
    if (item.on_usb)
        text += fact_line("driver", item.driver.empty() ? "(none)" : item.driver);
    std::string may = item.access.may_open ? "yes" : "no";
    if (!item.access.reason.empty())
        may += ": " + item.access.reason;
    text += fact_line("may open", may);
    if (!item.access.fix.empty())
        text += fact_line("fix", item.access.fix);
    return text;
}

void write_instrument_json(const ListedInstrument& item, JsonWriter& json) {
    json.begin_object();
    string_or_null(json, "resource", item.resource);
    string_or_null(json, "manufacturer", item.manufacturer);
    string_or_null(json, "model", item.model);
    string_or_null(json, "serial", item.serial);
    json.key("vendor_id").number(item.vendor_id);
    json.key("product_id").number(item.product_id);
    json.key("interface_number").number(item.interface_number);
    json.key("usb488").boolean(item.usb488);
    json.key("bus").string(item.on_usb ? "usb" : "local");
    json.key("usb_bus");
    item.on_usb ? json.number(item.usb_bus) : json.null();
    json.key("usb_device");
    item.on_usb ? json.number(item.usb_device) : json.null();
    string_or_null(json, "device_node", item.device_node);
    string_or_null(json, "socket", item.socket);
    string_or_null(json, "driver", item.driver);
    json.key("may_open").boolean(item.access.may_open);
    string_or_null(json, "reason", item.access.reason);
    string_or_null(json, "fix", item.access.fix);
    json.key("holders").begin_array();
    for (const ProcessName& p : item.access.holders) {
        json.begin_object();
        json.key("pid").number(p.pid);
        string_or_null(json, "command", p.command);
        json.end_object();
    }
    json.end_array();
    json.end_object();
}

}  // namespace sgvisa_tool
