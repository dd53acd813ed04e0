#include "format/format_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "classic_locale.h"
#include "directive_refusal.h"
#include "trace/trace_reason.h"

namespace sgvisa::format {

ViStatus ReadSource::read_bytes(std::uint8_t* dst, std::size_t n, std::size_t& got, bool& ended) {
    got = 0;
    ended = false;
    while (got < n) {
        std::uint8_t byte = 0;
        bool eom = false;
        const ViStatus st = peek(byte, eom);
        if (st < 0)
            return st;
        if (eom) {
            ended = true;
            break;
        }
        dst[got++] = byte;
        consume();
    }
    return VI_SUCCESS;
}

namespace {

using Kind = ReadDirective::Kind;
using Size = ReadDirective::Size;

constexpr int kMaxWidth = 1000000;
// Longest number text collected for one numeric field without a width; a
// longer number is out of range for every target.
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

bool is_integer(char c) {
    return in("diuxXo", c);
}
bool is_floating(char c) {
    return in("feEgGF", c);
}
bool is_binary(char c) {
    return in("bBy", c);
}
bool is_text(char c) {
    return in("Ttsc[", c);
}

// Reads digits at `p` into `out`; false when the number is 0 or over kMaxWidth.
bool parse_count(const char*& p, int& out) {
    long value = 0;
    while (is_digit(*p)) {
        value = value * 10 + (*p++ - '0');
        if (value > kMaxWidth)
            return false;
    }
    out = static_cast<int>(value);
    return value > 0;
}

// The set of %[...] after its '['; `p` ends after the closing ']'.
bool parse_set(const char*& p, ReadDirective& d) {
    if (*p == '^') {
        d.negated_set = true;
        ++p;
    }
    const char* first = p;
    while (*p != '\0' && (*p != ']' || p == first)) {
        const auto lo = static_cast<unsigned char>(*p);
        if (p[1] == '-' && p[2] != ']' && p[2] != '\0') {
            const auto hi = static_cast<unsigned char>(p[2]);
            for (unsigned c = lo; c <= hi; ++c)
                d.set.set(c);
            p += 3;
            continue;
        }
        d.set.set(lo);
        ++p;
    }
    if (*p != ']')
        return false;
    ++p;
    return true;
}

struct Refusal {
    ViStatus status = VI_SUCCESS;
    const char* why = "";
};

Refusal refuse(ViStatus status, const char* why) {
    return {status, why};
}

Refusal parse_conversion(const char*& p, ReadDirective& d) {
    d.kind = Kind::conversion;
    if (*p == '*') {
        d.suppress = true;
        ++p;
    }
    while (true) {
        if (is_digit(*p)) {
            if (d.width >= 0 || !parse_count(p, d.width))
                return refuse(VI_ERROR_INV_FMT, "a width is 1 to 1000000, given once");
        } else if (*p == '#') {
            ++p;
            d.count_from_arg = true;
        } else if (*p == ',') {
            ++p;
            d.array = true;
            if (*p == '#') {
                ++p;
                d.count_from_arg = true;
            } else if (is_digit(*p) && !parse_count(p, d.array_size)) {
                return refuse(VI_ERROR_INV_FMT, "an array size is 1 to 1000000");
            }
        } else if (*p == '!') {
            if (p[1] != 'o' || (p[2] != 'b' && p[2] != 'l'))
                return refuse(VI_ERROR_INV_FMT, "the byte order is !ob or !ol");
            d.little_endian = p[2] == 'l';
            p += 3;
        } else if (*p == '@') {
            return refuse(VI_ERROR_NSUP_FMT, "the @ number formats are not implemented");
        } else {
            break;
        }
    }
    d.size = parse_size_modifier(p);
    const char c = *p;
    if (c == '\0')
        return refuse(VI_ERROR_INV_FMT, "the format ends before the conversion character");
    ++p;
    d.conversion = c;
    if (c == '[' && !parse_set(p, d))
        return refuse(VI_ERROR_INV_FMT, "the set has no closing ]");
    if (in("paA", c))
        return refuse(VI_ERROR_NSUP_FMT, "this conversion is not implemented");
    if (!is_text(c) && !is_integer(c) && !is_floating(c) && !is_binary(c) && c != 'n')
        return refuse(VI_ERROR_INV_FMT, "unknown conversion character");
    if (d.suppress && d.count_from_arg)
        return refuse(VI_ERROR_INV_FMT, "'*' stores nothing, so it takes no '#' count");
    if (d.count_from_arg && d.width >= 0 && !d.array)
        return refuse(VI_ERROR_INV_FMT, "a width and '#' both give the count");
    if (d.little_endian && !is_binary(c))
        return refuse(VI_ERROR_INV_FMT, "a byte order is for %b, %B and %y");
    if (d.array && !is_integer(c) && !is_floating(c))
        return refuse(VI_ERROR_INV_FMT, "',' arrays are of numbers");
    if (is_text(c)) {
        if (d.size == Size::l)
            return refuse(VI_ERROR_NSUP_FMT, "wide characters are not implemented");
        if (d.size != Size::none)
            return refuse(VI_ERROR_INV_FMT, "a size does not fit a text conversion");
        return {};
    }
    if (is_binary(c)) {
        if (binary_element_size(d.size) == 0)
            return refuse(VI_ERROR_INV_FMT, "an element is hh, h, l, ll, z or Z");
        if (!d.suppress && d.width < 0 && !d.count_from_arg)
            return refuse(VI_ERROR_INV_FMT, "binary data needs its count: a width or '#'");
        return {};
    }
    if (c == 'n') {
        if (d.width >= 0 || d.count_from_arg || d.size == Size::L || d.size == Size::z ||
            d.size == Size::Z)
            return refuse(VI_ERROR_INV_FMT, "%n takes an integer size only");
        return {};
    }
    if (d.count_from_arg && !d.array)
        return refuse(VI_ERROR_INV_FMT, "'#' on a number needs ','");
    if (d.array && !d.suppress && d.array_size < 0 && !d.count_from_arg)
        return refuse(VI_ERROR_INV_FMT, "an array needs its size: ,N or ,#");
    if (is_integer(c) && (d.size == Size::L || d.size == Size::z || d.size == Size::Z))
        return refuse(VI_ERROR_INV_FMT, "an integer is hh, h, l or ll");
    if (is_floating(c) && d.size != Size::none && d.size != Size::l && d.size != Size::L)
        return refuse(VI_ERROR_INV_FMT, "a floating-point number is l or L");
    return {};
}

// The number's range check, in words for the trace.
ViStatus out_of_range(const ReadDirective& d, std::size_t offset) {
    trace::note_reason([&] {
        return "the number at byte " + std::to_string(offset) +
               " of the reply does not fit the target of %" + std::string(1, d.conversion);
    });
    return kRangeError;
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
    void consume() {
        source_.consume();
        ++taken_;
    }
    std::size_t taken() const { return taken_; }

    ViStatus read_bytes(std::uint8_t* dst, std::size_t n, std::size_t& got, bool& ended) {
        const ViStatus st = source_.read_bytes(dst, n, got, ended);
        taken_ += got;
        return st;
    }

    // Drops up to `n` bytes (all up to END when `to_end`); `dropped` tells
    // how many.
    ViStatus skip(std::size_t n, bool to_end, std::size_t& dropped, bool& ended) {
        std::uint8_t scratch[4096];
        dropped = 0;
        ended = false;
        while (to_end || dropped < n) {
            const std::size_t want =
                to_end ? sizeof scratch : std::min(sizeof scratch, n - dropped);
            std::size_t got = 0;
            const ViStatus st = read_bytes(scratch, want, got, ended);
            dropped += got;
            if (st < 0)
                return st;
            if (ended || got < want)
                break;
        }
        return VI_SUCCESS;
    }

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
    ViStatus line(char* dst, int width, bool stop_at_linefeed, int& count, bool& stored) {
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

    // %s (`set` null: up to white space) and %[ (the characters `accept`s).
    ViStatus word(char* dst, int width, const ReadDirective* set, int& count, bool& stored) {
        if (set == nullptr) {
            const ViStatus st = skip_space();
            if (st < 0)
                return st;
        }
        while (width < 0 || count < width) {
            int c;
            const ViStatus st = peek(c);
            if (st < 0)
                return st;
            if (c < 0)
                break;
            if (set == nullptr ? is_space(c) : set->set.test(c) == set->negated_set)
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

    ViStatus chars(char* dst, int width, int& count, bool& stored) {
        const int n = width < 0 ? 1 : width;
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
    // `more` tells that the number went on past kMaxNumberLength.
    ViStatus number_text(std::string_view accept, bool floating, int width, std::string& text,
                         bool& more) {
        ViStatus st = skip_space();
        if (st < 0)
            return st;
        const int limit = width < 0 ? kMaxNumberLength : width;
        more = false;
        while (true) {
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
            if (static_cast<int>(text.size()) >= limit) {
                more = width < 0;
                break;
            }
            consume();
            text += ch;
        }
        return VI_SUCCESS;
    }

  private:
    ReadSource& source_;
    std::size_t taken_ = 0;
};

bool has_digit(const std::string& text, bool hex) {
    for (char c : text) {
        if (is_digit(c) || (hex && in("abcdefABCDEF", c)))
            return true;
    }
    return false;
}

template <typename T>
bool store_if_fits(void* target, long long v) {
    if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        v > static_cast<long long>(std::numeric_limits<T>::max()))
        return false;
    if (target != nullptr)
        *static_cast<T*>(target) = static_cast<T>(v);
    return true;
}

bool store_signed(Size size, void* target, long long v) {
    switch (size) {
        case Size::hh:
            return store_if_fits<signed char>(target, v);
        case Size::h:
            return store_if_fits<short>(target, v);
        case Size::l:
            return store_if_fits<long>(target, v);
        case Size::ll:
            return store_if_fits<long long>(target, v);
        default:
            return store_if_fits<int>(target, v);
    }
}

// C's rule for an unsigned conversion of "-n": the negated value, modulo
// the target's range; the magnitude must fit the target.
template <typename T>
bool store_unsigned_if_fits(void* target, unsigned long long magnitude, bool negative) {
    if (magnitude > std::numeric_limits<T>::max())
        return false;
    const T value = static_cast<T>(magnitude);
    if (target != nullptr)
        *static_cast<T*>(target) = negative ? static_cast<T>(-value) : value;
    return true;
}

bool store_unsigned(Size size, void* target, unsigned long long magnitude, bool negative) {
    switch (size) {
        case Size::hh:
            return store_unsigned_if_fits<unsigned char>(target, magnitude, negative);
        case Size::h:
            return store_unsigned_if_fits<unsigned short>(target, magnitude, negative);
        case Size::l:
            return store_unsigned_if_fits<unsigned long>(target, magnitude, negative);
        case Size::ll:
            return store_unsigned_if_fits<unsigned long long>(target, magnitude, negative);
        default:
            return store_unsigned_if_fits<unsigned>(target, magnitude, negative);
    }
}

std::size_t number_size(const ReadDirective& d) {
    if (is_floating(d.conversion)) {
        return d.size == Size::L   ? sizeof(long double)
               : d.size == Size::l ? sizeof(double)
                                   : sizeof(float);
    }
    switch (d.size) {
        case Size::hh:
            return 1;
        case Size::h:
            return sizeof(short);
        case Size::l:
            return sizeof(long);
        case Size::ll:
            return sizeof(long long);
        default:
            return sizeof(int);
    }
}

// Converts `text` and stores it at `target` (null: checks only); false when
// it is out of the target's range.
bool convert_number(const ReadDirective& d, const std::string& text, void* target) {
    const char c = d.conversion;
    errno = 0;
    if (is_floating(c)) {
        // Overflow is a range error; an underflow stores the nearest value,
        // as C does.
        if (d.size == Size::L) {
            const long double v = std::strtold(text.c_str(), nullptr);
            if (errno == ERANGE && std::isinf(v))
                return false;
            if (target != nullptr)
                *static_cast<long double*>(target) = v;
        } else if (d.size == Size::l) {
            const double v = std::strtod(text.c_str(), nullptr);
            if (errno == ERANGE && std::isinf(v))
                return false;
            if (target != nullptr)
                *static_cast<double*>(target) = v;
        } else {
            const float v = std::strtof(text.c_str(), nullptr);
            if (errno == ERANGE && std::isinf(v))
                return false;
            if (target != nullptr)
                *static_cast<float*>(target) = v;
        }
        return true;
    }
    const int base = (c == 'x' || c == 'X') ? 16 : c == 'o' ? 8 : c == 'i' ? 0 : 10;
    if (c == 'd' || c == 'i') {
        const long long v = std::strtoll(text.c_str(), nullptr, base);
        return errno != ERANGE && store_signed(d.size, target, v);
    }
    std::size_t start = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        start = 1;
    if (text.find_first_of("+-", start) != std::string::npos)
        return false;
    const unsigned long long magnitude = std::strtoull(text.c_str() + start, nullptr, base);
    return errno != ERANGE && store_unsigned(d.size, target, magnitude, negative);
}

// Reads a numeric field into `target` (null when suppressed); `stored`
// false when it holds no number.
ViStatus read_number(const ReadDirective& d, FieldReader& field, void* target, bool& stored) {
    const char c = d.conversion;
    const bool floating = is_floating(c);
    std::string_view accept = "0123456789";
    if (c == 'x' || c == 'X' || c == 'i') {
        accept = "0123456789abcdefABCDEFxX";
    } else if (c == 'o') {
        accept = "01234567";
    } else if (floating) {
        accept = "0123456789.eE";
    }
    std::string text;
    bool more = false;
    const std::size_t start = field.taken();
    const ViStatus st = field.number_text(accept, floating, d.width, text, more);
    if (st < 0)
        return st;
    stored = has_digit(text, c == 'x' || c == 'X');
    if (!stored)
        return VI_SUCCESS;
    if (more || !convert_number(d, text, d.suppress ? nullptr : target))
        return out_of_range(d, start);
    return VI_SUCCESS;
}

// %,Nd: up to `capacity` numbers separated by commas; `count` tells how many.
ViStatus read_array(const ReadDirective& d, FieldReader& field, int capacity, int& count) {
    auto* base = static_cast<unsigned char*>(d.suppress ? nullptr : d.target);
    const std::size_t element = number_size(d);
    count = 0;
    while (capacity < 0 || count < capacity) {
        if (count > 0) {
            ViStatus st = field.skip_space();
            if (st < 0)
                return st;
            int c;
            st = field.peek(c);
            if (st < 0)
                return st;
            if (c != ',')
                break;
            field.consume();
        }
        bool stored = false;
        void* target = base == nullptr ? nullptr : base + static_cast<std::size_t>(count) * element;
        const ViStatus st = read_number(d, field, target, stored);
        if (st < 0)
            return st;
        if (!stored)
            break;
        ++count;
    }
    return VI_SUCCESS;
}

// %b %B %y into `capacity` elements at the target; `count` tells how many
// were stored, `complete` that the data was whole (the parse goes on).
ViStatus read_binary(const ReadDirective& d, FieldReader& field, int capacity, int& count,
                     bool& complete) {
    count = 0;
    complete = false;
    const std::size_t element = binary_element_size(d.size);
    auto* dst = static_cast<std::uint8_t*>(d.suppress ? nullptr : d.target);
    const std::size_t room =
        dst == nullptr ? 0 : static_cast<std::size_t>(capacity < 0 ? 0 : capacity) * element;
    std::size_t length = 0;  // of a definite block, in bytes
    bool indefinite = false;
    if (d.conversion == 'y') {
        length = room;
    } else {
        ViStatus st = field.skip_space();
        if (st < 0)
            return st;
        int c;
        st = field.peek(c);
        if (st < 0 || c != '#')
            return st;
        field.consume();
        st = field.peek(c);
        if (st < 0 || c < '0' || c > '9')
            return st;
        field.consume();
        const int digits = c - '0';
        indefinite = digits == 0;
        for (int i = 0; i < digits; ++i) {
            st = field.peek(c);
            if (st < 0 || c < '0' || c > '9')
                return st;
            field.consume();
            length = length * 10 + static_cast<std::size_t>(c - '0');
        }
    }
    std::size_t got = 0;
    bool ended = false;
    const std::size_t want = indefinite ? room : std::min(room, length);
    ViStatus st = dst == nullptr ? VI_SUCCESS : field.read_bytes(dst, want, got, ended);
    std::size_t stored_bytes = got;
    if (st >= 0 && indefinite) {
        // The data goes on to END; the linefeed that carries it ends the
        // block and is not data.
        std::size_t dropped = 0;
        if (!ended)
            st = field.skip(0, true, dropped, ended);
        if (st >= 0 && dropped == 0 && got > 0 && dst[got - 1] == '\n')
            --stored_bytes;
        complete = st >= 0;
    } else if (st >= 0 && got == want) {
        // A block longer than the array: the rest is read and dropped.
        std::size_t dropped = 0;
        if (length > want && !ended)
            st = field.skip(length - want, false, dropped, ended);
        complete = st >= 0 && want + dropped == length;
    }
    const std::size_t elements = stored_bytes / element;
    if (dst != nullptr && d.little_endian != (std::endian::native == std::endian::little))
        swap_elements(dst, elements, element);
    count = static_cast<int>(elements);
    return st;
}

ViStatus store_position(const ReadDirective& d, std::size_t taken) {
    if (d.suppress)
        return VI_SUCCESS;
    if (!store_signed(d.size, d.target, static_cast<long long>(taken)))
        return out_of_range(d, taken);
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
            const char* start = p++;
            const Refusal r = parse_conversion(p, d);
            if (r.status != VI_SUCCESS)
                return refuse_directive(r.status, "read", format, start, p, r.why);
        }
        out.push_back(d);
    }
    for (ReadDirective& d : out) {
        if (d.kind != Kind::conversion || d.suppress)
            continue;
        if (d.count_from_arg) {
            d.count = va_arg(*args, int*);
            if (d.count == nullptr)
                return VI_ERROR_USER_BUF;
        }
        d.target = va_arg(*args, void*);
        if (d.target == nullptr)
            return VI_ERROR_USER_BUF;
    }
    for (ReadDirective& d : out) {
        if (d.count == nullptr)
            continue;
        // The capacity is read as the call starts: the count is the
        // caller's promise about its array then.
        const int capacity = *d.count;
        const bool with_nul = in("Tts[", d.conversion);
        if (capacity < (with_nul ? 1 : 0))
            return VI_ERROR_USER_BUF;
        if (d.array)
            d.array_size = capacity;
        else
            d.width = with_nul ? capacity - 1 : capacity;
    }
    for (const ReadDirective& d : out) {
        if (d.target != nullptr && in("Tts[", d.conversion))
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
        char* text = static_cast<char*>(d.suppress ? nullptr : d.target);
        int count = 0;
        bool go_on = true;
        if (d.array) {
            st = read_array(d, field, d.array_size, count);
            stored = count > 0;
        } else if (is_binary(d.conversion)) {
            st = read_binary(d, field, d.width, count, go_on);
            stored = go_on || count > 0;
        } else {
            switch (d.conversion) {
                case 'T':
                    st = field.line(text, d.width, true, count, stored);
                    break;
                case 't':
                    st = field.line(text, d.width, false, count, stored);
                    break;
                case 's':
                    st = field.word(text, d.width, nullptr, count, stored);
                    break;
                case '[':
                    st = field.word(text, d.width, &d, count, stored);
                    break;
                case 'c':
                    st = field.chars(text, d.width, count, stored);
                    break;
                case 'n':
                    st = store_position(d, field.taken());
                    if (st < 0)
                        return st;
                    continue;
                default:
                    st = read_number(d, field, d.target, stored);
                    break;
            }
        }
        // What was stored is told even when the read then failed.
        if (d.count != nullptr)
            *d.count = count;
        if (st < 0)
            return st;
        if (!stored)
            return VI_SUCCESS;
        if (!d.suppress)
            ++assigned;
        if (!go_on)
            return VI_SUCCESS;
    }
    return VI_SUCCESS;
}

ViStatus read_message(const ReadFormat& format, ReadSource& source, int& assigned) {
    const ViStatus st = execute_read(format, source, assigned);
    if (st == kRangeError) {
        // The reply is the device's and well read: it goes, as after success.
        const ViStatus drained = source.discard_rest();
        return drained < 0 ? drained : st;
    }
    if (st < 0)
        return st;
    return source.discard_rest();
}

}  // namespace sgvisa::format
