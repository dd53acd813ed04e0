#include "scpi/scpi_parser.h"

#include <charconv>
#include <system_error>

#include "scpi/error_queue.h"

namespace sgsim {
namespace {

bool is_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}
bool is_alpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_mnemonic_char(char c) {
    return is_alpha(c) || is_digit(c) || c == '_';
}

// A byte that has no place anywhere in a program message outside string data.
bool is_invalid_byte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && !is_white_space(c)) || u >= 0x7f;
}

// The error for finding `c` where the grammar wants something else.
int unexpected(char c) {
    return is_invalid_byte(c) ? scpi_error::kInvalidCharacter : scpi_error::kSyntaxError;
}

int digit_value(char c) {
    if (is_digit(c)) {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 99;
}

}  // namespace

ScpiParser::ScpiParser(std::string_view program_message) : text_(program_message) {}

std::optional<ProgramUnit> ScpiParser::fail(int code) {
    error_ = code;
    done_ = true;
    return std::nullopt;
}

void ScpiParser::skip_white_space() {
    while (!at_end() && is_white_space(text_[pos_])) {
        ++pos_;
    }
}

std::optional<ProgramUnit> ScpiParser::next() {
    if (done_) {
        return std::nullopt;
    }
    skip_white_space();
    if (at_end()) {
        // An empty message, or a message ending in ';', holds no further unit.
        done_ = true;
        return std::nullopt;
    }
    if (peek() == ';') {
        return fail(scpi_error::kSyntaxError);  // an empty unit
    }

    ProgramUnit unit;
    if (int code = parse_header(unit); code != 0) {
        return fail(code);
    }
    if (!at_end() && peek() != ';') {
        if (!is_white_space(peek())) {
            return fail(unexpected(peek()));
        }
        skip_white_space();
    }
    while (!at_end() && peek() != ';') {
        if (unit.parameters.size() == kMaxParameters) {
            return fail(scpi_error::kParameterNotAllowed);
        }
        Parameter parameter;
        if (int code = parse_parameter(parameter); code != 0) {
            return fail(code);
        }
        unit.parameters.push_back(std::move(parameter));
        skip_white_space();
        if (at_end() || peek() == ';') {
            break;
        }
        if (peek() != ',') {
            return fail(is_invalid_byte(peek()) ? scpi_error::kInvalidCharacter
                                                : scpi_error::kInvalidSeparator);
        }
        ++pos_;
        skip_white_space();
        if (at_end() || peek() == ';' || peek() == ',') {
            return fail(scpi_error::kSyntaxError);  // a separator with no parameter after it
        }
    }
    if (!at_end()) {
        ++pos_;  // the ';' between units
    }
    return unit;
}

int ScpiParser::parse_mnemonic(std::string& out) {
    if (!is_alpha(peek())) {
        return at_end() ? scpi_error::kSyntaxError : unexpected(peek());
    }
    const std::size_t start = pos_;
    while (!at_end() && is_mnemonic_char(text_[pos_])) {
        ++pos_;
    }
    if (pos_ - start > kMaxMnemonicLength) {
        return scpi_error::kProgramMnemonicTooLong;
    }
    out.assign(text_.substr(start, pos_ - start));
    return 0;
}

int ScpiParser::parse_header(ProgramUnit& unit) {
    if (peek() == '*') {
        ++pos_;
        unit.common = true;
        unit.header.emplace_back();
        if (int code = parse_mnemonic(unit.header.back()); code != 0) {
            return code;
        }
    } else {
        const bool absolute = peek() == ':';
        if (absolute) {
            ++pos_;
        } else {
            unit.header = path_;
        }
        while (true) {
            if (unit.header.size() == kMaxHeaderNodes) {
                return scpi_error::kUndefinedHeader;  // deeper than any command
            }
            unit.header.emplace_back();
            if (int code = parse_mnemonic(unit.header.back()); code != 0) {
                return code;
            }
            if (peek() != ':') {
                break;
            }
            ++pos_;
        }
        // The next unit's header, unless it starts with ':', continues from
        // the node this one ended in.
        path_.assign(unit.header.begin(), unit.header.end() - 1);
    }
    if (peek() == '?') {
        ++pos_;
        unit.query = true;
    }
    return 0;
}

int ScpiParser::parse_parameter(Parameter& out) {
    const char c = peek();
    if (c == '+' || c == '-' || c == '.' || is_digit(c)) {
        return parse_decimal(out);
    }
    if (c == '#') {
        return parse_non_decimal(out);
    }
    if (c == '"' || c == '\'') {
        return parse_string(out);
    }
    if (is_alpha(c)) {
        return parse_character(out);
    }
    return unexpected(c);
}

int ScpiParser::parse_decimal(Parameter& out) {
    out.kind = Parameter::Kind::Numeric;
    const std::size_t start = pos_;
    if (peek() == '+' || peek() == '-') {
        ++pos_;
    }
    std::size_t digits = 0;
    while (is_digit(peek())) {
        ++pos_;
        ++digits;
    }
    if (peek() == '.') {
        ++pos_;
        while (is_digit(peek())) {
            ++pos_;
            ++digits;
        }
    }
    if (digits == 0) {
        return scpi_error::kNumericDataError;
    }
    if (peek() == 'e' || peek() == 'E') {
        std::size_t look = pos_ + 1;
        if (look < text_.size() && (text_[look] == '+' || text_[look] == '-')) {
            ++look;
        }
        if (look < text_.size() && is_digit(text_[look])) {
            pos_ = look;
            while (is_digit(peek())) {
                ++pos_;
            }
        }
    }
    std::string_view number = text_.substr(start, pos_ - start);
    if (number.front() == '+') {
        number.remove_prefix(1);  // from_chars takes no plus sign
    }
    const auto [end, ec] =
        std::from_chars(number.data(), number.data() + number.size(), out.number);
    if (ec == std::errc::result_out_of_range) {
        return scpi_error::kExponentTooLarge;
    }
    if (ec != std::errc{} || end != number.data() + number.size()) {
        return scpi_error::kNumericDataError;
    }

    // A suffix may follow the number directly or after white space.
    std::size_t look = pos_;
    while (look < text_.size() && is_white_space(text_[look])) {
        ++look;
    }
    if (look < text_.size() && is_alpha(text_[look])) {
        pos_ = look;
        return parse_suffix(out);
    }
    if (is_digit(peek()) || peek() == '.') {
        return scpi_error::kInvalidCharacterInNumber;
    }
    return 0;
}

int ScpiParser::parse_suffix(Parameter& out) {
    const std::size_t start = pos_;
    while (is_alpha(peek())) {
        ++pos_;
    }
    if (pos_ - start > kMaxMnemonicLength) {
        return scpi_error::kSuffixTooLong;
    }
    out.suffix.assign(text_.substr(start, pos_ - start));
    return 0;
}

int ScpiParser::parse_non_decimal(Parameter& out) {
    out.kind = Parameter::Kind::Numeric;
    ++pos_;  // '#'
    int base = 0;
    switch (peek()) {
        case 'H':
        case 'h':
            base = 16;
            break;
        case 'Q':
        case 'q':
            base = 8;
            break;
        case 'B':
        case 'b':
            base = 2;
            break;
        default:
            return is_digit(peek()) ? scpi_error::kBlockDataNotAllowed
                                    : (at_end() ? scpi_error::kSyntaxError : unexpected(peek()));
    }
    ++pos_;
    std::size_t digits = 0;
    double value = 0.0;
    while (is_mnemonic_char(peek())) {
        const int digit = digit_value(peek());
        if (digit >= base) {
            return scpi_error::kInvalidCharacterInNumber;
        }
        value = value * base + digit;
        if (value > 9007199254740992.0) {  // 2^53: no longer exact
            return scpi_error::kNumericDataError;
        }
        ++pos_;
        ++digits;
    }
    if (digits == 0) {
        return scpi_error::kNumericDataError;
    }
    out.number = value;
    return 0;
}

int ScpiParser::parse_string(Parameter& out) {
    out.kind = Parameter::Kind::String;
    const char quote = text_[pos_++];
    while (true) {
        if (at_end()) {
            return scpi_error::kInvalidStringData;  // no closing quote
        }
        const char c = text_[pos_++];
        if (c == quote) {
            if (peek() != quote) {
                return 0;
            }
            ++pos_;  // a doubled quote stands for one
        }
        out.text += c;
    }
}

int ScpiParser::parse_character(Parameter& out) {
    out.kind = Parameter::Kind::Character;
    const std::size_t start = pos_;
    while (is_mnemonic_char(peek())) {
        ++pos_;
    }
    if (pos_ - start > kMaxMnemonicLength) {
        return scpi_error::kCharacterDataTooLong;
    }
    out.text.assign(text_.substr(start, pos_ - start));
    return 0;
}

int single_parameter(const std::vector<Parameter>& parameters) {
    if (parameters.empty()) {
        return scpi_error::kMissingParameter;
    }
    return parameters.size() > 1 ? scpi_error::kParameterNotAllowed : 0;
}

}  // namespace sgsim
