// Fuzz target: formatted output (viPrintf/viQueryf). The input is a write
// format, a NUL byte, and bytes the arguments are drawn from. A va_list
// cannot be built at run time, so the format is cut after each directive and
// every piece is formatted with exactly the arguments its directive takes
// (as this harness reads it: '*' widths and '#' or '*' counts first, then
// the value, an array or the data of a block). A directive the harness does
// not recognise gets no argument: the engine must refuse it before taking
// one. Arrays and blocks point into one buffer as large as the largest count
// a format may give (1000000 elements of 16 bytes); an array directive with a
// literal number over 999 is skipped, as its output (count times width)
// would only measure the machine's memory.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format/format_writer.h"

namespace {

enum class Arg { none, int_, long_, llong, double_, ldouble, string, pointer };

struct Piece {
    std::string text;  // literal text and at most one directive, at its end
    int stars = 0;     // int arguments before the value: widths, counts
    Arg arg = Arg::none;
    bool many = false;     // an array or binary data
    bool too_big = false;  // an array with a literal number over 999
};

// The data of arrays and blocks: the largest count times the widest element.
unsigned char* element_buffer() {
    static std::vector<unsigned char> buffer(16 * 1000000 + 64, 0x5A);
    return buffer.data();
}

// Cuts `format` after the directive that starts at `*pos` (or at its end).
Piece next_piece(std::string_view format, std::size_t& pos) {
    Piece piece;
    const std::size_t start = pos;
    while (pos < format.size()) {
        if (format[pos] != '%') {
            ++pos;
            continue;
        }
        if (pos + 1 < format.size() && format[pos + 1] == '%') {
            pos += 2;
            continue;
        }
        ++pos;
        auto at = [&](char c) { return pos < format.size() && format[pos] == c; };
        bool hash = false;
        while (pos < format.size() && std::strchr("-+ #0", format[pos]) != nullptr)
            hash |= format[pos++] == '#';
        std::size_t digits = 0;
        auto number = [&] {
            std::size_t n = 0;
            while (pos < format.size() && format[pos] >= '0' && format[pos] <= '9') {
                ++pos;
                ++n;
            }
            digits = std::max(digits, n);
        };
        if (at('*')) {
            ++piece.stars;
            ++pos;
        }
        number();
        if (at(',')) {
            piece.many = true;
            ++pos;
            if (at('#') || at('*')) {
                ++piece.stars;
                ++pos;
            }
            number();
        }
        if (at('.')) {
            ++pos;
            if (at('*')) {
                ++piece.stars;
                ++pos;
            }
            number();
        }
        if (at('!'))
            pos = std::min(pos + 3, format.size());
        std::string size;
        while (pos < format.size() && std::strchr("hlLzZ", format[pos]) != nullptr &&
               size.size() < 2)
            size += format[pos++];
        const char c = pos < format.size() ? format[pos++] : '\0';
        piece.too_big = piece.many && digits > 3;
        if (c != '\0' && std::strchr("bBy", c) != nullptr) {
            piece.many = true;
            piece.too_big = false;  // its output is its data: 16 MB at most
            piece.stars += hash ? 1 : 0;
            piece.arg = Arg::pointer;
        } else if (piece.many || c == 'n') {
            piece.arg = Arg::pointer;
        } else if (std::strchr("diuxXo", c) != nullptr && c != '\0') {
            piece.arg = size == "l" ? Arg::long_ : size == "ll" ? Arg::llong : Arg::int_;
        } else if (std::strchr("fFeEgG", c) != nullptr && c != '\0') {
            piece.arg = size == "L" ? Arg::ldouble : Arg::double_;
        } else if (c == 'c') {
            piece.arg = Arg::int_;
        } else if (c == 's') {
            piece.arg = Arg::string;
        }
        break;
    }
    piece.text = std::string(format.substr(start, pos - start));
    return piece;
}

ViStatus format(std::string& out, const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    const ViStatus st = sgvisa::format::format_message(fmt, &args, out);
    va_end(args);
    return st;
}

// Formats `fmt` with the star arguments and then `value`.
template <typename T>
ViStatus with_value(std::string& out, const Piece& p, const int* stars, T value) {
    switch (p.stars) {
        case 0:
            return format(out, p.text.c_str(), value);
        case 1:
            return format(out, p.text.c_str(), stars[0], value);
        default:
            return format(out, p.text.c_str(), stars[0], stars[1], value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(data, 0, size);
    if (nul == nullptr)
        return 0;
    const std::size_t format_len = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    const std::string_view fmt(text, format_len);
    FuzzedDataProvider args(data + format_len + 1, size - format_len - 1);

    std::string out;
    std::size_t pos = 0;
    while (pos < fmt.size()) {
        const Piece p = next_piece(fmt, pos);
        if (p.too_big)
            return 0;
        // Arrays and blocks: smaller widths and counts, as the output is
        // their product.
        const int bound = p.many ? 999 : 2000;
        int stars[3] = {args.ConsumeIntegralInRange(-bound, bound),
                        args.ConsumeIntegralInRange(-bound, bound),
                        args.ConsumeIntegralInRange(-bound, bound)};
        if (args.ConsumeBool() && !p.many)  // now and then a width near or past the limit
            stars[0] = args.ConsumeIntegral<int>();
        const std::size_t before = out.size();
        ViStatus st = VI_SUCCESS;
        switch (p.arg) {
            case Arg::none:
                st = format(out, p.text.c_str());
                break;
            case Arg::int_:
                st = with_value(out, p, stars, args.ConsumeIntegral<int>());
                break;
            case Arg::long_:
                st = with_value(out, p, stars, args.ConsumeIntegral<long>());
                break;
            case Arg::llong:
                st = with_value(out, p, stars, args.ConsumeIntegral<long long>());
                break;
            case Arg::double_:
                st = with_value(out, p, stars, args.ConsumeFloatingPoint<double>());
                break;
            case Arg::ldouble:
                st = with_value(out, p, stars,
                                static_cast<long double>(args.ConsumeFloatingPoint<double>()));
                break;
            case Arg::pointer:
                st = with_value(out, p, stars, static_cast<void*>(element_buffer()));
                break;
            case Arg::string: {
                const std::string s = args.ConsumeRandomLengthString(256);
                st = with_value(out, p, stars, s.c_str());
                break;
            }
        }
        if (st != VI_SUCCESS && st != VI_ERROR_INV_FMT && st != VI_ERROR_NSUP_FMT &&
            st != VI_ERROR_USER_BUF)
            std::abort();
        // One directive never produces more than its width or precision bound
        // allows (1000000) plus the widest number.
        // An array: its count of elements, each so bounded.
        const std::size_t most = p.many ? 16000000 + 999 * 2100 : 2000000;
        if (out.size() - before > p.text.size() + most)
            std::abort();
        if (st != VI_SUCCESS)
            break;
    }
    return 0;
}
