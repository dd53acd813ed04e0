#include "json_writer.h"

#include <cstdio>

namespace sgvisa_tool {
namespace {

// The length of the valid UTF-8 sequence at `s[i]`, 0 when there is none.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80             ? 1
                    : (c & 0xE0) == 0xC0 ? 2
                    : (c & 0xF0) == 0xE0 ? 3
                    : (c & 0xF8) == 0xF0 ? 4
                                         : 0;
    if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2))
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}

void escape_byte(unsigned char c, std::string& out) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", c);
    out += buf;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            escape_byte(c, out);
            ++i;
        } else if (const std::size_t n = utf8_length(text, i); n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            escape_byte(c, out);
            ++i;
        }
    }
    return out + "\"";
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    out_ += json_string(name) + ':';
    after_key_ = true;
    return *this;
}

void JsonWriter::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_)
        out_ += ',';
    first_ = false;
}

void JsonWriter::open(char bracket) {
    separate();
    out_ += bracket;
    first_ = true;
}

void JsonWriter::close(char bracket) {
    out_ += bracket;
    first_ = false;
}

void JsonWriter::string(std::string_view value) {
    separate();
    out_ += json_string(value);
}

void JsonWriter::number(long long value) {
    separate();
    out_ += std::to_string(value);
}

void JsonWriter::boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
}

void JsonWriter::null() {
    separate();
    out_ += "null";
}

}  // namespace sgvisa_tool
