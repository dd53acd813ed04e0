#include "format/format_writer.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "classic_locale.h"
#include "format/format_size_modifier.h"

namespace sgvisa::format {
namespace {

constexpr int kMaxWidth = 1000000;

using Size = SizeModifier;

struct Directive {
    std::string flags;
    bool width_from_arg = false;
    int width = -1;
    bool precision_from_arg = false;
    int precision = -1;
    Size size = Size::none;
    char conversion = 0;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number at `*p`; false when it exceeds kMaxWidth.
bool read_number(const char*& p, int& out) {
    long value = 0;
    while (is_digit(*p)) {
        value = value * 10 + (*p - '0');
        if (value > kMaxWidth)
            return false;
        ++p;
    }
    out = static_cast<int>(value);
    return true;
}

bool is_unsupported(char c) {
    constexpr std::string_view kUnsupported = "bBynpaA,@!$#[zZ";
    return kUnsupported.find(c) != std::string_view::npos;
}

// Parses the directive after a '%'; `p` ends after its conversion character.
ViStatus parse_directive(const char*& p, Directive& d) {
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
        d.flags += *p++;
    if (*p == '*') {
        d.width_from_arg = true;
        ++p;
    } else if (is_digit(*p)) {
        if (!read_number(p, d.width))
            return VI_ERROR_INV_FMT;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            d.precision_from_arg = true;
            ++p;
        } else {
            d.precision = 0;
            if (!read_number(p, d.precision))
                return VI_ERROR_INV_FMT;
        }
    }
    if (*p == ',' || *p == '@')
        return VI_ERROR_NSUP_FMT;
    d.size = parse_size_modifier(p);
    d.conversion = *p;
    if (d.conversion == '\0')
        return VI_ERROR_INV_FMT;
    ++p;
    // Flags C leaves undefined for a conversion make the directive invalid.
    const bool has_alt = d.flags.find('#') != std::string::npos;
    const bool has_zero = d.flags.find('0') != std::string::npos;
    if (has_alt && std::string_view("diucs").find(d.conversion) != std::string_view::npos)
        return VI_ERROR_INV_FMT;
    if (has_zero && (d.conversion == 'c' || d.conversion == 's'))
        return VI_ERROR_INV_FMT;

    const char c = d.conversion;
    const std::string_view kIntegers = "diuxXo";
    const std::string_view kFloats = "fFeEgG";
    if (kIntegers.find(c) != std::string_view::npos) {
        return d.size == Size::L ? VI_ERROR_INV_FMT : VI_SUCCESS;
    }
    if (kFloats.find(c) != std::string_view::npos) {
        return (d.size == Size::none || d.size == Size::l || d.size == Size::L) ? VI_SUCCESS
                                                                                : VI_ERROR_INV_FMT;
    }
    if (c == 'c' || c == 's') {
        if (d.size == Size::l)
            return VI_ERROR_NSUP_FMT;  // wide characters
        return d.size == Size::none ? VI_SUCCESS : VI_ERROR_INV_FMT;
    }
    if (is_unsupported(c))
        return VI_ERROR_NSUP_FMT;
    return VI_ERROR_INV_FMT;
}

// The C length modifier that matches the promoted argument fetched below.
const char* c_length(const Directive& d) {
    switch (d.size) {
        case Size::hh:
            return "hh";
        case Size::h:
            return "h";
        case Size::l:
            return "l";
        case Size::ll:
            return "ll";
        case Size::L:
            return "L";
        case Size::none:
            break;
    }
    return "";
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// `spec` is a directive rebuilt from a validated one, with '*' for the width
// and, when `precision` is given, '.*' for it; so its arguments are exactly
// (width, [precision,] value).
template <typename T>
bool append_formatted(std::string& out, const std::string& spec, int width,
                      std::optional<int> precision, T value) {
    const auto print = [&](char* buf, std::size_t size) {
        return precision ? std::snprintf(buf, size, spec.c_str(), width, *precision, value)
                         : std::snprintf(buf, size, spec.c_str(), width, value);
    };
    const int n = print(nullptr, 0);
    if (n < 0)
        return false;
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    print(text.data(), text.size());
    text.resize(static_cast<std::size_t>(n));
    out += text;
    return true;
}
#pragma GCC diagnostic pop

ViStatus convert(const Directive& d, std::va_list* args, std::string& out) {
    // As in C, a negative width from an argument means left adjustment and a
    // negative precision means none; so does -1 for one not given.
    const int width = d.width_from_arg ? va_arg(*args, int) : std::max(d.width, 0);
    const int precision = d.precision_from_arg ? va_arg(*args, int) : d.precision;
    if (width > kMaxWidth || width < -kMaxWidth || precision > kMaxWidth) {
        return VI_ERROR_INV_FMT;
    }
    // C gives a precision no meaning for %c.
    if (d.conversion == 'c' && (d.precision_from_arg || d.precision >= 0))
        return VI_ERROR_INV_FMT;
    const bool with_precision = d.conversion != 'c';
    const std::string spec =
        "%" + d.flags + (with_precision ? "*.*" : "*") + c_length(d) + d.conversion;
    bool ok = false;
    auto emit = [&](auto value) {
        ok = append_formatted(out, spec, width,
                              with_precision ? std::optional<int>(precision) : std::nullopt, value);
    };
    const char c = d.conversion;
    if (c == 'd' || c == 'i') {
        switch (d.size) {
            case Size::l:
                emit(va_arg(*args, long));
                break;
            case Size::ll:
                emit(va_arg(*args, long long));
                break;
            default:
                emit(va_arg(*args, int));
                break;
        }
    } else if (c == 'u' || c == 'x' || c == 'X' || c == 'o') {
        switch (d.size) {
            case Size::l:
                emit(va_arg(*args, unsigned long));
                break;
            case Size::ll:
                emit(va_arg(*args, unsigned long long));
                break;
            default:
                emit(va_arg(*args, unsigned));
                break;
        }
    } else if (c == 'c') {
        emit(va_arg(*args, int));
    } else if (c == 's') {
        const char* text = va_arg(*args, const char*);
        if (text == nullptr)
            return VI_ERROR_USER_BUF;
        emit(text);
    } else if (d.size == Size::L) {
        emit(va_arg(*args, long double));
    } else {
        emit(va_arg(*args, double));
    }
    return ok ? VI_SUCCESS : VI_ERROR_INV_FMT;
}

}  // namespace

ViStatus format_message(const char* format, std::va_list* args, std::string& out) {
    if (format == nullptr)
        return VI_ERROR_USER_BUF;
    const ClassicLocale numbers;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        Directive d;
        ViStatus st = parse_directive(p, d);
        if (st != VI_SUCCESS)
            return st;
        st = convert(d, args, out);
        if (st != VI_SUCCESS)
            return st;
    }
    return VI_SUCCESS;
}

}  // namespace sgvisa::format
