#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "format/format_writer.h"

namespace {

struct Formatted {
    ViStatus status;
    std::string text;
};

Formatted format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    Formatted out{VI_SUCCESS, {}};
    out.status = sgvisa::format::format_message(fmt, &copy, out.text);
    va_end(copy);
    va_end(args);
    return out;
}

void expect_text(const Formatted& f, const std::string& text) {
    EXPECT_EQ(f.status, VI_SUCCESS);
    EXPECT_EQ(f.text, text);
}

TEST(FormatWriter, LiteralTextPassesThroughByteForByte) {
    expect_text(format("SOUR:FREQ 1 GHz\n"), "SOUR:FREQ 1 GHz\n");
    expect_text(format("100%% sure\n"), "100% sure\n");
    expect_text(format(""), "");
    expect_text(format("\x01\xff"), "\x01\xff");
}

TEST(FormatWriter, IntegerConversionsFlagsWidthPrecision) {
    expect_text(format("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
    expect_text(format("%x|%X|%o|%#x", 255u, 255u, 8u, 255u), "ff|FF|10|0xff");
    expect_text(format("[%5d][%-5d][%05d][%+d][% d]", 42, 42, 42, 42, 42),
                "[   42][42   ][00042][+42][ 42]");
    expect_text(format("[%.3d][%*d][%-*d][%.*d]", 7, 4, 1, 4, 2, 3, 5), "[007][   1][2   ][005]");
    expect_text(format("[%*d]", -3, 9), "[9  ]");  // negative width: left adjusted
}

TEST(FormatWriter, SizeModifiersTakeTheMatchingArgument) {
    expect_text(format("%ld %lld %hd %hhd", LONG_MIN, LLONG_MAX, 70000, 300),
                std::to_string(LONG_MIN) + " " + std::to_string(LLONG_MAX) + " 4464 44");
    expect_text(format("%lu %llx", ULONG_MAX, 0xfedcba9876543210ull),
                std::to_string(ULONG_MAX) + " fedcba9876543210");
    // Arguments after a 64-bit one are still found.
    expect_text(format("%lld|%d|%s", 1ll << 40, 5, "x"), "1099511627776|5|x");
}

TEST(FormatWriter, FloatingPointConversions) {
    expect_text(format("%f %.2f %e %E %g %G", 1.5, 2.346, 1000.0, 0.5, 1e-5, 1e20),
                "1.500000 2.35 1.000000e+03 5.000000E-01 1e-05 1E+20");
    expect_text(format("%8.3f|%-8.1f|%+.0f|%lf", 3.14159, 2.0, 2.7, 0.25),
                "   3.142|2.0     |+3|0.250000");
    expect_text(format("%Lf", 1.25L), "1.250000");
}

TEST(FormatWriter, CharactersAndStrings) {
    expect_text(format("%c%c%3c", 'O', 'K', '!'), "OK  !");
    expect_text(format("[%s][%6s][%-6s][%.2s]", "abc", "abc", "abc", "abcdef"),
                "[abc][   abc][abc   ][ab]");
    const std::string longer(5000, 'z');
    expect_text(format("%s", longer.c_str()), longer);
}

TEST(FormatWriter, MalformedDirectivesAreInvalidFormats) {
    const char* bad[] = {"abc%", "%5",   "%-",    "%.",   "%q",        "%k",         "%hs",
                         "%Ld",  "%hf",  "%llc",  "%5%",  "%1000001d", "%.1000001d", "%hhs",
                         "%.2c", "%#d",  "%#s",   "%05s", "%0c",       "%b",         "%y",
                         "%B",   "%Lb",  "%5.2b", "%-3b", "%,3b",      "%!oxb",      "%!old",
                         "%,3s", "%,0d", "%zd",   "%5n",  "%3#b"};
    for (const char* fmt : bad) {
        EXPECT_EQ(format(fmt, 1, 2, 3).status, VI_ERROR_INV_FMT) << fmt;
    }
    // A width from an argument is bounded the same way.
    EXPECT_EQ(format("%*d", 2000000, 1).status, VI_ERROR_INV_FMT);
}

TEST(FormatWriter, UnimplementedDirectivesAreNotSupported) {
    const char* unsupported[] = {"%p", "%a", "%A", "%@1d", "%ls", "%lc", "%[abc]"};
    int n = 0;
    for (const char* fmt : unsupported) {
        EXPECT_EQ(format(fmt, &n, &n).status, VI_ERROR_NSUP_FMT) << fmt;
    }
}

TEST(FormatWriter, NullStringArgumentIsAnError) {
    EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)).status, VI_ERROR_USER_BUF);
    std::string out;
    EXPECT_EQ(sgvisa::format::format_message(nullptr, nullptr, out), VI_ERROR_USER_BUF);
}

// The argument list advances past what a format used, so a second format
// (a query's read format) continues with the next argument.
// (va_start needs a parameter that is not a reference.)
void shared_list(std::string* first, std::string* second, ...) {
    va_list args;
    va_start(args, second);
    va_list copy;
    va_copy(copy, args);
    EXPECT_EQ(sgvisa::format::format_message("F %d %s\n", &copy, *first), VI_SUCCESS);
    EXPECT_EQ(sgvisa::format::format_message("%d", &copy, *second), VI_SUCCESS);
    va_end(copy);
    va_end(args);
}

TEST(FormatWriter, ArgumentListIsSharedBetweenFormats) {
    std::string first;
    std::string second;
    shared_list(&first, &second, 1, "two", 3);
    EXPECT_EQ(first, "F 1 two\n");
    EXPECT_EQ(second, "3");
}

// Blocks, raw binary and arrays, byte for byte.
struct WriteCase {
    const char* name;
    Formatted (*make)();
    ViStatus status;
    std::string bytes;
};

const std::int16_t kShorts[] = {0x0102, -2};
const std::int32_t kLongs[] = {1, -2};
const std::int64_t kQuads[] = {0x0102030405060708};
const float kFloats[] = {1.5f, -2.25f};
const double kDoubles[] = {-2.0, 0.5};
const int kInts[] = {1, -2, 258};

const WriteCase kWriteCases[] = {
    {"bytes", [] { return format("%5b\n", "hello"); }, VI_SUCCESS, "#15hello\n"},
    {"count from #", [] { return format("%#b", 3, "abc"); }, VI_SUCCESS, "#13abc"},
    {"count from *", [] { return format("%*b", 2, "abc"); }, VI_SUCCESS, "#12ab"},
    {"empty block", [] { return format("%#b", 0, "x"); }, VI_SUCCESS, "#10"},
    {"16 bits big-endian", [] { return format("%#hb", 2, kShorts); }, VI_SUCCESS,
     std::string("#14\x01\x02\xff\xfe", 7)},
    {"16 bits !ol", [] { return format("%#!olhb", 2, kShorts); }, VI_SUCCESS,
     std::string("#14\x02\x01\xfe\xff", 7)},
    {"32 bits", [] { return format("%2lb", kLongs); }, VI_SUCCESS,
     std::string("#18\0\0\0\x01\xff\xff\xff\xfe", 11)},
    {"64 bits", [] { return format("%1llb", kQuads); }, VI_SUCCESS,
     std::string("#18\x01\x02\x03\x04\x05\x06\x07\x08", 11)},
    {"float", [] { return format("%#zb", 1, kFloats); }, VI_SUCCESS,
     std::string("#14\x3f\xc0\0\0", 7)},
    {"double !ol", [] { return format("%#!olZb", 1, kDoubles); }, VI_SUCCESS,
     std::string("#18\0\0\0\0\0\0\0\xc0", 11)},
    {"indefinite", [] { return format("%3B\n", "abc"); }, VI_SUCCESS, "#0abc\n"},
    {"raw", [] { return format("%#hy", 1, kShorts); }, VI_SUCCESS, "\x01\x02"},
    {"ten-byte length", [] { return format("%#b", 10, "0123456789"); }, VI_SUCCESS,
     "#2100123456789"},
    {"negative count", [] { return format("%#b", -1, "x"); }, VI_ERROR_INV_FMT, ""},
    {"null data", [] { return format("%#b", 1, static_cast<const char*>(nullptr)); },
     VI_ERROR_USER_BUF, ""},
    {"int list", [] { return format("%,3d", kInts); }, VI_SUCCESS, "1,-2,258"},
    {"int list from #", [] { return format("L %,#d\n", 2, kInts); }, VI_SUCCESS, "L 1,-2\n"},
    {"width per element", [] { return format("%4,#d", 2, kInts); }, VI_SUCCESS, "   1,  -2"},
    {"short list", [] { return format("%,2hd", kShorts); }, VI_SUCCESS, "258,-2"},
    {"float list", [] { return format("%,#.2f", 2, kFloats); }, VI_SUCCESS, "1.50,-2.25"},
    {"double list", [] { return format("%,*lg", 2, kDoubles); }, VI_SUCCESS, "-2,0.5"},
    {"hex list", [] { return format("%,3x", kInts); }, VI_SUCCESS, "1,fffffffe,102"},
    {"null list", [] { return format("%,2d", static_cast<const int*>(nullptr)); },
     VI_ERROR_USER_BUF, ""},
    {"position",
     [] {
         static int at = -1;
         Formatted f = format("AB%dC%n", 12, &at);
         f.text += "|" + std::to_string(at);
         return f;
     },
     VI_SUCCESS, "AB12C|5"},
};

class BinaryAndArrayWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(BinaryAndArrayWrite, BytesAreExact) {
    const WriteCase& c = GetParam();
    const Formatted f = c.make();
    EXPECT_EQ(f.status, c.status) << c.name;
    if (c.status == VI_SUCCESS) {
        EXPECT_EQ(f.text, c.bytes) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(FormatWriter, BinaryAndArrayWrite, ::testing::ValuesIn(kWriteCases));

}  // namespace
