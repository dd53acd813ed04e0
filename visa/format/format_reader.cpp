#include "format/format_reader.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "classic_locale.h"

namespace sgvisa::format {
namespace {

using Kind = ReadDirective::Kind;
using Size = ReadDirective::Size;

constexpr int kMaxWidth = 1000000;
// Longest number text collected for one numeric field without a width.
constexpr int kMaxNumberLength = 512;

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool in(std::string_view set, char c) {
    return c != '\0' && set.find(c) != std::string_view::npos;
}

ViStatus parse_conversion(const char*& p, ReadDirective& d) {
    d.kind = Kind::conversion;
    if (*p == '*') {
        d.suppress = true;
        ++p;
    }
    if (is_digit(*p)) {
        long width = 0;
        while (is_digit(*p)) {
            width = width * 10 + (*p++ - '0');
            if (width > kMaxWidth)
                return VI_ERROR_INV_FMT;
        }
        if (width == 0)
            return VI_ERROR_INV_FMT;
        d.width = static_cast<int>(width);
    }
    if (*p == '#' || *p == ',' || *p == '@' || *p == '!')
        return VI_ERROR_NSUP_FMT;
    d.size = parse_size_modifier(p);
    const char c = *p;
    if (c == '\0')
        return VI_ERROR_INV_FMT;
    ++p;
    d.conversion = c;
    if (in("Ttsc", c)) {
        if (d.size == Size::l)
            return VI_ERROR_NSUP_FMT;  // wide characters
        return d.size == Size::none ? VI_SUCCESS : VI_ERROR_INV_FMT;
    }
    if (in("diuxXo", c))
        return d.size == Size::L ? VI_ERROR_INV_FMT : VI_SUCCESS;
    if (in("feEgGF", c)) {
        return (d.size == Size::none || d.size == Size::l || d.size == Size::L) ? VI_SUCCESS
                                                                                : VI_ERROR_INV_FMT;
    }
    if (in("[bBynpaAzZ", c))
        return VI_ERROR_NSUP_FMT;
    return VI_ERROR_INV_FMT;
}

// Reads one directive's field. `stop` is set when the input ended or stopped
// matching, which ends the whole parse.
class FieldReader {
  public:
    explicit FieldReader(ReadSource& source) : source_(source) {}

    ViStatus peek(int& c) {
        std::uint8_t byte = 0;
        bool eom = false;
        const ViStatus st = source_.peek(byte, eom);
        if (st < 0)
            return st;
        c = eom ? -1 : byte;
        return VI_SUCCESS;
    }
    void consume() { source_.consume(); }

    ViStatus skip_space() {
        while (true) {
            int c;
            const ViStatus st = peek(c);
            if (st < 0)
                return st;
            if (c < 0 || !is_space(c))
                return VI_SUCCESS;
            consume();
        }
    }

    // %T (`stop_at_linefeed`) and %t: the whole field is consumed, at most
    // `width` characters are stored.
    ViStatus line(char* dst, int width, bool stop_at_linefeed, bool& stored) {
        int count = 0;
        int consumed = 0;
        while (true) {
            int c;
            const ViStatus st = peek(c);
            if (st < 0)
                return st;
            if (c < 0)
                break;
            consume();
            ++consumed;
            if (dst != nullptr && (width < 0 || count < width)) {
                dst[count++] = static_cast<char>(c);
                dst[count] = '\0';
            }
            if (stop_at_linefeed && c == '\n')
                break;
        }
        stored = consumed > 0;
        return VI_SUCCESS;
    }

    ViStatus word(char* dst, int width, bool& stored) {
        ViStatus st = skip_space();
        if (st < 0)
            return st;
        int count = 0;
        while (width < 0 || count < width) {
            int c;
            st = peek(c);
            if (st < 0)
                return st;
            if (c < 0 || is_space(c))
                break;
            consume();
            if (dst != nullptr) {
                dst[count] = static_cast<char>(c);
                dst[count + 1] = '\0';
            }
            ++count;
        }
        stored = count > 0;
        return VI_SUCCESS;
    }

    ViStatus chars(char* dst, int width, bool& stored) {
        const int n = width < 0 ? 1 : width;
        int count = 0;
        while (count < n) {
            int c;
            const ViStatus st = peek(c);
            if (st < 0)
                return st;
            if (c < 0)
                break;
            consume();
            if (dst != nullptr)
                dst[count] = static_cast<char>(c);
            ++count;
        }
        stored = count > 0;
        return VI_SUCCESS;
    }

    // Collects the characters of a number: those in `accept`, with a sign
    // allowed first and, for floating point, after an exponent letter.
    ViStatus number_text(std::string_view accept, bool floating, int width, std::string& text) {
        ViStatus st = skip_space();
        if (st < 0)
            return st;
        const int limit = width < 0 ? kMaxNumberLength : width;
        while (static_cast<int>(text.size()) < limit) {
            int c;
            st = peek(c);
            if (st < 0)
                return st;
            if (c < 0)
                break;
            const char ch = static_cast<char>(c);
            const bool sign_ok =
                text.empty() || (floating && (text.back() == 'e' || text.back() == 'E'));
            const bool ok = in(accept, ch) || ((ch == '+' || ch == '-') && sign_ok);
            if (!ok)
                break;
            consume();
            text += ch;
        }
        return VI_SUCCESS;
    }

  private:
    ReadSource& source_;
};

bool has_digit(const std::string& text) {
    for (char c : text) {
        if (is_digit(c))
            return true;
    }
    return false;
}

void store_signed(const ReadDirective& d, long long v) {
    switch (d.size) {
        case Size::hh:
            *static_cast<signed char*>(d.target) = static_cast<signed char>(v);
            break;
        case Size::h:
            *static_cast<short*>(d.target) = static_cast<short>(v);
            break;
        case Size::l:
            *static_cast<long*>(d.target) = static_cast<long>(v);
            break;
        case Size::ll:
            *static_cast<long long*>(d.target) = v;
            break;
        default:
            *static_cast<int*>(d.target) = static_cast<int>(v);
            break;
    }
}

void store_unsigned(const ReadDirective& d, unsigned long long v) {
    switch (d.size) {
        case Size::hh:
            *static_cast<unsigned char*>(d.target) = static_cast<unsigned char>(v);
            break;
        case Size::h:
            *static_cast<unsigned short*>(d.target) = static_cast<unsigned short>(v);
            break;
        case Size::l:
            *static_cast<unsigned long*>(d.target) = static_cast<unsigned long>(v);
            break;
        case Size::ll:
            *static_cast<unsigned long long*>(d.target) = v;
            break;
        default:
            *static_cast<unsigned*>(d.target) = static_cast<unsigned>(v);
            break;
    }
}

// Reads a numeric field; `stored` false when it holds no number.
ViStatus read_number(const ReadDirective& d, FieldReader& in_field, bool& stored) {
    const char c = d.conversion;
    const bool floating = in("feEgGF", c);
    std::string_view accept = "0123456789";
    int base = 10;
    if (c == 'x' || c == 'X') {
        accept = "0123456789abcdefABCDEFxX";
        base = 16;
    } else if (c == 'o') {
        accept = "01234567";
        base = 8;
    } else if (c == 'i') {
        accept = "0123456789abcdefABCDEFxX";
        base = 0;
    } else if (floating) {
        accept = "0123456789.eE";
    }
    std::string text;
    const ViStatus st = in_field.number_text(accept, floating, d.width, text);
    if (st < 0)
        return st;
    stored = has_digit(text);
    if (!stored || d.suppress)
        return VI_SUCCESS;

    if (floating) {
        if (d.size == Size::L) {
            *static_cast<long double*>(d.target) = std::strtold(text.c_str(), nullptr);
        } else if (d.size == Size::l) {
            *static_cast<double*>(d.target) = std::strtod(text.c_str(), nullptr);
        } else {
            *static_cast<float*>(d.target) = std::strtof(text.c_str(), nullptr);
        }
    } else if (c == 'd' || c == 'i') {
        store_signed(d, std::strtoll(text.c_str(), nullptr, base));
    } else {
        store_unsigned(d, std::strtoull(text.c_str(), nullptr, base));
    }
    return VI_SUCCESS;
}

}  // namespace

ViStatus prepare_read(const char* format, std::va_list* args, ReadFormat& out) {
    out.clear();
    if (format == nullptr)
        return VI_ERROR_USER_BUF;
    const char* p = format;
    while (*p != '\0') {
        ReadDirective d;
        if (is_space(static_cast<unsigned char>(*p))) {
            while (is_space(static_cast<unsigned char>(*p)))
                ++p;
            d.kind = Kind::white_space;
        } else if (*p != '%') {
            d.literal = *p++;
        } else if (p[1] == '%') {
            d.literal = '%';
            p += 2;
        } else {
            ++p;
            const ViStatus st = parse_conversion(p, d);
            if (st != VI_SUCCESS)
                return st;
        }
        out.push_back(d);
    }
    for (ReadDirective& d : out) {
        if (d.kind != Kind::conversion || d.suppress)
            continue;
        d.target = va_arg(*args, void*);
        if (d.target == nullptr)
            return VI_ERROR_USER_BUF;
    }
    for (const ReadDirective& d : out) {
        if (d.target != nullptr && in("Tts", d.conversion))
            static_cast<char*>(d.target)[0] = '\0';
    }
    return VI_SUCCESS;
}

ViStatus execute_read(const ReadFormat& format, ReadSource& source, int& assigned) {
    assigned = 0;
    const ClassicLocale numbers;
    FieldReader field(source);
    for (const ReadDirective& d : format) {
        ViStatus st = VI_SUCCESS;
        bool stored = false;
        if (d.kind == Kind::white_space) {
            st = field.skip_space();
            if (st < 0)
                return st;
            continue;
        }
        if (d.kind == Kind::literal) {
            int c;
            st = field.peek(c);
            if (st < 0)
                return st;
            if (c != static_cast<unsigned char>(d.literal))
                return VI_SUCCESS;
            field.consume();
            continue;
        }
        char* text = static_cast<char*>(d.target);
        switch (d.conversion) {
            case 'T':
                st = field.line(text, d.width, true, stored);
                break;
            case 't':
                st = field.line(text, d.width, false, stored);
                break;
            case 's':
                st = field.word(text, d.width, stored);
                break;
            case 'c':
                st = field.chars(text, d.width, stored);
                break;
            default:
                st = read_number(d, field, stored);
                break;
        }
        if (st < 0)
            return st;
        if (!stored)
            return VI_SUCCESS;
        if (!d.suppress)
            ++assigned;
    }
    return VI_SUCCESS;
}

ViStatus read_message(const ReadFormat& format, ReadSource& source, int& assigned) {
    const ViStatus st = execute_read(format, source, assigned);
    if (st < 0)
        return st;
    return source.discard_rest();
}

}  // namespace sgvisa::format
