#include "trace/trace_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace sgvisa::trace {

void append_escaped(std::string& out, const void* data, std::size_t bytes, std::size_t limit) {
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t shown = bytes < limit ? bytes : limit;
    out += '"';
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = p[i];
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                }
        }
    }
    out += '"';
    if (shown < bytes)
        out += "...";
}

void append_string(std::string& out, const char* s) {
    if (s == nullptr) {
        out += "NULL";
        return;
    }
    // Never past kShownChars + 1: the caller's string may lack its zero.
    const std::size_t length = ::strnlen(s, kShownChars + 1);
    append_escaped(out, s, length, kShownChars);
}

void append_buffer(std::string& out, const void* data, std::uint64_t count) {
    append_unsigned(out, count);
    out += ':';
    if (data == nullptr) {
        out += "NULL";
        return;
    }
    append_escaped(out, data,
                   count < kShownBytes ? static_cast<std::size_t>(count) : kShownBytes + 1,
                   kShownBytes);
}

void append_hex(std::string& out, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIX64, value);
    out += text;
}

void append_unsigned(std::string& out, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    out += text;
}

void append_signed(std::string& out, std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRId64, value);
    out += text;
}

}  // namespace sgvisa::trace
