#include "format/format_writer.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "classic_locale.h"
#include "directive_refusal.h"
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
    bool array = false;           // ',': an array of numbers
    bool count_from_arg = false;  // ',#' ',*', or '#' '*' on %b %B %y
    int count = -1;               // ',N', or a width on %b %B %y
    bool little_endian = false;   // !ol
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

struct Refusal {
    ViStatus status = VI_SUCCESS;
    const char* why = "";
};

bool in(std::string_view set, char c) {
    return c != '\0' && set.find(c) != std::string_view::npos;
}

bool is_binary(char c) {
    return in("bBy", c);
}

// Parses the directive after a '%'; `p` ends after its conversion character.
Refusal parse_directive(const char*& p, Directive& d) {
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
        d.flags += *p++;
    if (*p == '*') {
        d.width_from_arg = true;
        ++p;
    } else if (is_digit(*p)) {
        if (!read_number(p, d.width))
            return {VI_ERROR_INV_FMT, "a width is at most 1000000"};
    }
    if (*p == ',') {
        ++p;
        d.array = true;
        if (*p == '#' || *p == '*') {
            d.count_from_arg = true;
            ++p;
        } else if (!is_digit(*p) || !read_number(p, d.count) || d.count == 0) {
            return {VI_ERROR_INV_FMT, "an array size is 1 to 1000000, '#' or '*'"};
        }
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            d.precision_from_arg = true;
            ++p;
        } else {
            d.precision = 0;
            if (!read_number(p, d.precision))
                return {VI_ERROR_INV_FMT, "a precision is at most 1000000"};
        }
    }
    if (*p == '@')
        return {VI_ERROR_NSUP_FMT, "the @ number formats are not implemented"};
    if (*p == '!') {
        if (p[1] != 'o' || (p[2] != 'b' && p[2] != 'l'))
            return {VI_ERROR_INV_FMT, "the byte order is !ob or !ol"};
        d.little_endian = p[2] == 'l';
        p += 3;
    }
    d.size = parse_size_modifier(p);
    d.conversion = *p;
    if (d.conversion == '\0')
        return {VI_ERROR_INV_FMT, "the format ends before the conversion character"};
    ++p;
    const char c = d.conversion;
    const bool has_alt = d.flags.find('#') != std::string::npos;
    const bool has_zero = d.flags.find('0') != std::string::npos;
    if (is_binary(c)) {
        // The count of elements: a width, '*' or '#' (an int argument).
        if (d.array || d.precision_from_arg || d.precision >= 0 || d.flags != (has_alt ? "#" : ""))
            return {VI_ERROR_INV_FMT, "binary data takes a count and a size only"};
        if (binary_element_size(d.size) == 0)
            return {VI_ERROR_INV_FMT, "an element is hh, h, l, ll, z or Z"};
        const int ways = (has_alt ? 1 : 0) + (d.width_from_arg ? 1 : 0) + (d.width >= 0 ? 1 : 0);
        if (ways != 1)
            return {VI_ERROR_INV_FMT, "binary data needs one count: a width, '*' or '#'"};
        d.count_from_arg = has_alt || d.width_from_arg;
        d.count = d.width;
        d.width = -1;
        d.width_from_arg = false;
        return {};
    }
    if (d.little_endian)
        return {VI_ERROR_INV_FMT, "a byte order is for %b, %B and %y"};
    if (c == 'n') {
        if (!d.flags.empty() || d.width >= 0 || d.width_from_arg || d.precision >= 0 ||
            d.precision_from_arg || d.array || d.size == Size::L || d.size == Size::z ||
            d.size == Size::Z)
            return {VI_ERROR_INV_FMT, "%n takes an integer size only"};
        return {};
    }
    // Flags C leaves undefined for a conversion make the directive invalid.
    if (has_alt && std::string_view("diucs").find(c) != std::string_view::npos)
        return {VI_ERROR_INV_FMT, "'#' has no meaning here"};
    if (has_zero && (c == 'c' || c == 's'))
        return {VI_ERROR_INV_FMT, "'0' has no meaning here"};
    const std::string_view kIntegers = "diuxXo";
    const std::string_view kFloats = "fFeEgG";
    if (kIntegers.find(c) != std::string_view::npos) {
        if (d.size == Size::L || d.size == Size::z || d.size == Size::Z)
            return {VI_ERROR_INV_FMT, "an integer is hh, h, l or ll"};
        return {};
    }
    if (kFloats.find(c) != std::string_view::npos) {
        if (d.size != Size::none && d.size != Size::l && d.size != Size::L)
            return {VI_ERROR_INV_FMT, "a floating-point number is l or L"};
        return {};
    }
    if (d.array)
        return {VI_ERROR_INV_FMT, "',' arrays are of numbers"};
    if (c == 'c' || c == 's') {
        if (d.size == Size::l)
            return {VI_ERROR_NSUP_FMT, "wide characters are not implemented"};
        if (d.size != Size::none)
            return {VI_ERROR_INV_FMT, "a size does not fit a text conversion"};
        return {};
    }
    if (in("paA[", c))
        return {VI_ERROR_NSUP_FMT, "this conversion is not implemented for writing"};
    return {VI_ERROR_INV_FMT, "unknown conversion character"};
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
        case Size::z:
        case Size::Z:
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

template <typename T, typename Promoted = T>
bool append_elements(std::string& out, const std::string& spec, int width,
                     std::optional<int> precision, const void* array, int count) {
    const T* elements = static_cast<const T*>(array);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            out += ',';
        if (!append_formatted(out, spec, width, precision, static_cast<Promoted>(elements[i])))
            return false;
    }
    return true;
}

// %,Nd: `count` numbers of `array`, each formatted as the directive says,
// separated by commas; the element type follows the size as for reading.
bool append_array(const Directive& d, std::string& out, const std::string& spec, int width,
                  std::optional<int> precision, const void* array, int count) {
    const char c = d.conversion;
    if (c == 'd' || c == 'i') {
        switch (d.size) {
            case Size::hh:
                return append_elements<signed char, int>(out, spec, width, precision, array, count);
            case Size::h:
                return append_elements<short, int>(out, spec, width, precision, array, count);
            case Size::l:
                return append_elements<long>(out, spec, width, precision, array, count);
            case Size::ll:
                return append_elements<long long>(out, spec, width, precision, array, count);
            default:
                return append_elements<int>(out, spec, width, precision, array, count);
        }
    }
    if (c == 'u' || c == 'x' || c == 'X' || c == 'o') {
        switch (d.size) {
            case Size::hh:
                return append_elements<unsigned char, unsigned>(out, spec, width, precision, array,
                                                                count);
            case Size::h:
                return append_elements<unsigned short, unsigned>(out, spec, width, precision, array,
                                                                 count);
            case Size::l:
                return append_elements<unsigned long>(out, spec, width, precision, array, count);
            case Size::ll:
                return append_elements<unsigned long long>(out, spec, width, precision, array,
                                                           count);
            default:
                return append_elements<unsigned>(out, spec, width, precision, array, count);
        }
    }
    if (d.size == Size::L)
        return append_elements<long double>(out, spec, width, precision, array, count);
    if (d.size == Size::l)
        return append_elements<double>(out, spec, width, precision, array, count);
    return append_elements<float, double>(out, spec, width, precision, array, count);
}

// %b (a definite-length block), %B (an indefinite one: #0 and the data; the
// format's final linefeed, sent with END, ends it) and %y (the data alone).
ViStatus convert_binary(const Directive& d, std::va_list* args, std::string& out) {
    const int count = d.count_from_arg ? va_arg(*args, int) : d.count;
    const auto* data = va_arg(*args, const unsigned char*);
    if (count < 0)
        return VI_ERROR_INV_FMT;
    if (count > 0 && data == nullptr)
        return VI_ERROR_USER_BUF;
    const std::size_t element = binary_element_size(d.size);
    const std::size_t bytes = static_cast<std::size_t>(count) * element;
    if (d.conversion == 'b') {
        const std::string length = std::to_string(bytes);
        if (length.size() > 9)
            return VI_ERROR_INV_FMT;  // a definite block's length has 9 digits at most
        out += '#';
        out += static_cast<char>('0' + length.size());
        out += length;
    } else if (d.conversion == 'B') {
        out += "#0";
    }
    const std::size_t at = out.size();
    if (bytes > 0)
        out.append(reinterpret_cast<const char*>(data), bytes);
    if (d.little_endian != (std::endian::native == std::endian::little))
        swap_elements(reinterpret_cast<unsigned char*>(out.data() + at),
                      static_cast<std::size_t>(count), element);
    return VI_SUCCESS;
}

// %n: the bytes this format has made so far.
ViStatus store_written(const Directive& d, std::va_list* args, std::size_t written) {
    void* target = va_arg(*args, void*);
    if (target == nullptr)
        return VI_ERROR_USER_BUF;
    const auto n = static_cast<long long>(written);
    switch (d.size) {
        case Size::hh:
            *static_cast<signed char*>(target) = static_cast<signed char>(n);
            break;
        case Size::h:
            *static_cast<short*>(target) = static_cast<short>(n);
            break;
        case Size::l:
            *static_cast<long*>(target) = static_cast<long>(n);
            break;
        case Size::ll:
            *static_cast<long long*>(target) = n;
            break;
        default:
            if (n > std::numeric_limits<int>::max())
                return VI_ERROR_INV_FMT;
            *static_cast<int*>(target) = static_cast<int>(n);
            break;
    }
    return VI_SUCCESS;
}

ViStatus convert(const Directive& d, std::va_list* args, std::string& out, std::size_t base) {
    if (is_binary(d.conversion))
        return convert_binary(d, args, out);
    if (d.conversion == 'n')
        return store_written(d, args, out.size() - base);
    // As in C, a negative width from an argument means left adjustment and a
    // negative precision means none; so does -1 for one not given. The
    // arguments come in the order of the modifiers: width, array count,
    // precision, then the value or array.
    const int width = d.width_from_arg ? va_arg(*args, int) : std::max(d.width, 0);
    const int count = !d.array ? 1 : d.count_from_arg ? va_arg(*args, int) : d.count;
    const int precision = d.precision_from_arg ? va_arg(*args, int) : d.precision;
    if (width > kMaxWidth || width < -kMaxWidth || precision > kMaxWidth || count < 0) {
        return VI_ERROR_INV_FMT;
    }
    // C gives a precision no meaning for %c.
    if (d.conversion == 'c' && (d.precision_from_arg || d.precision >= 0))
        return VI_ERROR_INV_FMT;
    const bool with_precision = d.conversion != 'c';
    const std::string spec =
        "%" + d.flags + (with_precision ? "*.*" : "*") + c_length(d) + d.conversion;
    if (d.array) {
        const void* array = va_arg(*args, const void*);
        if (count > 0 && array == nullptr)
            return VI_ERROR_USER_BUF;
        return append_array(d, out, spec, width, precision, array, count) ? VI_SUCCESS
                                                                          : VI_ERROR_INV_FMT;
    }
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
    const std::size_t base = out.size();
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
        const char* start = p - 1;
        const Refusal r = parse_directive(p, d);
        if (r.status != VI_SUCCESS)
            return refuse_directive(r.status, "write", format, start, p, r.why);
        const ViStatus st = convert(d, args, out, base);
        if (st != VI_SUCCESS)
            return st;
    }
    return VI_SUCCESS;
}

}  // namespace sgvisa::format
