#include <gtest/gtest.h>

#include <bit>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "format/format_reader.h"

namespace {

// A reply message held in memory: `bytes` with END on the last one, or no
// END at all (`ends` false): reading past the bytes then times out.
class ScriptedSource final : public sgvisa::format::ReadSource {
  public:
    explicit ScriptedSource(std::string bytes, bool ends = true)
        : bytes_(std::move(bytes)), ends_(ends) {}

    ViStatus peek(std::uint8_t& byte, bool& end_of_message) override {
        end_of_message = false;
        if (pos_ < bytes_.size()) {
            byte = static_cast<std::uint8_t>(bytes_[pos_]);
            return VI_SUCCESS;
        }
        if (ends_) {
            end_of_message = true;
            return VI_SUCCESS;
        }
        return VI_ERROR_TMO;
    }
    void consume() override {
        if (pos_ < bytes_.size())
            ++pos_;
    }
    ViStatus discard_rest() override {
        ++discards_;
        if (!ends_)
            return VI_ERROR_TMO;
        pos_ = bytes_.size();
        return VI_SUCCESS;
    }

    std::size_t consumed() const { return pos_; }
    int discards() const { return discards_; }

  private:
    std::string bytes_;
    bool ends_;
    std::size_t pos_ = 0;
    int discards_ = 0;
};

// A buffer with canary bytes on both sides, to catch any write past it.
class GuardedBuffer {
  public:
    static constexpr std::size_t kGuard = 32;
    explicit GuardedBuffer(std::size_t size) : size_(size), storage_(size + 2 * kGuard, '#') {
        std::memset(data(), '?', size_);
    }
    char* data() { return storage_.data() + kGuard; }
    std::string text() { return std::string(data()); }
    bool guards_intact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (storage_[i] != '#' || storage_[kGuard + size_ + i] != '#')
                return false;
        }
        return true;
    }
    bool terminated() const {
        return std::memchr(storage_.data() + kGuard, '\0', size_) != nullptr;
    }

  private:
    std::size_t size_;
    std::vector<char> storage_;
};

struct Scan {
    ViStatus status;
    int assigned;
};

Scan scan(sgvisa::format::ReadSource& source, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    Scan out{VI_SUCCESS, -1};
    sgvisa::format::ReadFormat format;
    out.status = sgvisa::format::prepare_read(fmt, &copy, format);
    if (out.status == VI_SUCCESS)
        out.status = sgvisa::format::read_message(format, source, out.assigned);
    va_end(copy);
    va_end(args);
    return out;
}

// One directive's read with execute_read only, so that what it consumed
// shows; with a count pointer before the target or without.
Scan scan_direct(sgvisa::format::ReadSource& source, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    Scan out{VI_SUCCESS, -1};
    sgvisa::format::ReadFormat format;
    out.status = sgvisa::format::prepare_read(fmt, &copy, format);
    if (out.status == VI_SUCCESS)
        out.status = sgvisa::format::execute_read(format, source, out.assigned);
    if (out.status == sgvisa::format::kRangeError)
        source.discard_rest();
    va_end(copy);
    va_end(args);
    return out;
}

TEST(FormatReader, LineDirectiveKeepsItsLinefeed) {
    ScriptedSource src("Simulated Signal Sources,SG-4040,123\n");
    char buf[64];
    const Scan r = scan(src, "%T", buf);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, 1);
    EXPECT_STREQ(buf, "Simulated Signal Sources,SG-4040,123\n");
}

TEST(FormatReader, LineDirectiveStopsAtEndWithoutLinefeed) {
    ScriptedSource src("0,\"No error\"");
    char buf[64];
    EXPECT_EQ(scan(src, "%T", buf).status, VI_SUCCESS);
    EXPECT_STREQ(buf, "0,\"No error\"");
}

TEST(FormatReader, EndDirectiveReadsAcrossLinefeeds) {
    ScriptedSource src("a\nb\nc");
    char buf[64];
    EXPECT_EQ(scan(src, "%t", buf).status, VI_SUCCESS);
    EXPECT_STREQ(buf, "a\nb\nc");
}

TEST(FormatReader, WidthBoundsStoredCharactersOfLongReply) {
    const std::string reply = std::string(200, 'x') + "\n";
    for (const char* fmt : {"%63T", "%63t", "%63s"}) {
        ScriptedSource src(reply);
        GuardedBuffer buf(64);
        const Scan r = scan(src, fmt, buf.data());
        EXPECT_EQ(r.status, VI_SUCCESS) << fmt;
        EXPECT_EQ(buf.text(), std::string(63, 'x')) << fmt;
        EXPECT_TRUE(buf.guards_intact()) << fmt;
        // The rest of the reply was consumed, not left for the next read.
        EXPECT_EQ(src.consumed(), reply.size()) << fmt;
        EXPECT_EQ(src.discards(), 1) << fmt;
    }
}

TEST(FormatReader, WidthOfOneStoresOnlyOneCharacter) {
    ScriptedSource src("hello\n");
    GuardedBuffer buf(2);
    EXPECT_EQ(scan(src, "%1T", buf.data()).status, VI_SUCCESS);
    EXPECT_EQ(buf.text(), "h");
    EXPECT_TRUE(buf.guards_intact());
}

TEST(FormatReader, ShortReplyFitsExactly) {
    ScriptedSource src(std::string(62, 'y') + "\n");
    GuardedBuffer buf(64);
    EXPECT_EQ(scan(src, "%63T", buf.data()).status, VI_SUCCESS);
    EXPECT_EQ(buf.text(), std::string(62, 'y') + "\n");
    EXPECT_TRUE(buf.guards_intact());
}

TEST(FormatReader, TimeoutLeavesWhatWasStoredTerminated) {
    ScriptedSource src("partial answer", /*ends=*/false);
    GuardedBuffer buf(64);
    const Scan r = scan(src, "%63T", buf.data());
    EXPECT_EQ(r.status, VI_ERROR_TMO);
    EXPECT_EQ(buf.text(), "partial answer");
    EXPECT_TRUE(buf.terminated());
    EXPECT_TRUE(buf.guards_intact());
    EXPECT_EQ(src.discards(), 0);  // after a failed read there is nothing to drop
}

TEST(FormatReader, TimeoutBeforeAnyByteLeavesEmptyString) {
    ScriptedSource src("", /*ends=*/false);
    GuardedBuffer buf(16);
    EXPECT_EQ(scan(src, "%15T", buf.data()).status, VI_ERROR_TMO);
    EXPECT_EQ(buf.text(), "");
}

TEST(FormatReader, EveryStringTargetIsTerminatedEvenWhenNotReached) {
    ScriptedSource src("only", /*ends=*/false);
    GuardedBuffer first(16);
    GuardedBuffer second(16);
    EXPECT_EQ(scan(src, "%15s %15s", first.data(), second.data()).status, VI_ERROR_TMO);
    EXPECT_EQ(first.text(), "only");
    EXPECT_EQ(second.text(), "");
}

TEST(FormatReader, WordsAndNumbers) {
    ScriptedSource src("  MHz -12 +3.5e2 7 0x1F 17 rest\n");
    char word[8];
    int i = 0;
    double d = 0;
    float f = 0;
    unsigned x = 0;
    long l = 0;
    const Scan r = scan(src, "%7s%d%lf%f%x%ld", word, &i, &d, &f, &x, &l);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, 6);
    EXPECT_STREQ(word, "MHz");
    EXPECT_EQ(i, -12);
    EXPECT_DOUBLE_EQ(d, 350.0);
    EXPECT_FLOAT_EQ(f, 7.0f);
    EXPECT_EQ(x, 0x1Fu);
    EXPECT_EQ(l, 17);
}

TEST(FormatReader, CommaSeparatedReplyWithLiterals) {
    ScriptedSource src("-221,\"Settings conflict\"\n");
    int code = 0;
    char text[32];
    const Scan r = scan(src, "%d,%31T", &code, text);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(code, -221);
    EXPECT_STREQ(text, "\"Settings conflict\"\n");
}

TEST(FormatReader, CharacterDirectiveStoresNoTerminator) {
    ScriptedSource src("ABCDEF");
    char c[4] = {'.', '.', '.', '.'};
    EXPECT_EQ(scan(src, "%c%2c", &c[0], &c[1]).status, VI_SUCCESS);
    EXPECT_EQ(std::string(c, 4), "ABC.");
}

TEST(FormatReader, NumberWidthBoundsDigits) {
    ScriptedSource src("123456\n");
    int a = 0;
    int b = 0;
    EXPECT_EQ(scan(src, "%2d%3d", &a, &b).status, VI_SUCCESS);
    EXPECT_EQ(a, 12);
    EXPECT_EQ(b, 345);
}

TEST(FormatReader, MismatchOrEarlyEndStopsWithTargetsUntouched) {
    ScriptedSource src("abc\n");
    int n = 99;
    char word[8];
    Scan r = scan(src, "%d%7s", &n, word);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, 0);
    EXPECT_EQ(n, 99);
    EXPECT_STREQ(word, "");
    EXPECT_EQ(src.discards(), 1);  // the unmatched reply is still dropped

    ScriptedSource shorter("5");
    n = 0;
    int m = 42;
    r = scan(shorter, "%d,%d", &n, &m);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, 1);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(m, 42);
}

TEST(FormatReader, SuppressedFieldsTakeNoArgument) {
    ScriptedSource src("skip 12\n");
    int n = 0;
    const Scan r = scan(src, "%*s%d", &n);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, 1);
    EXPECT_EQ(n, 12);
}

TEST(FormatReader, FormatErrorsComeBeforeAnyRead) {
    const char* invalid[] = {"%",         "%0T", "%q",   "%hT",  "%LT",   "%Ld",  "%hf",
                             "%1000001T", "%b",  "%y",   "%,d",  "%!oxb", "%[ab", "%Lb",
                             "%!old",     "%#d", "%,3s", "%*#b", "%3#b",  "%5n",  "%zd"};
    for (const char* fmt : invalid) {
        ScriptedSource src("data\n");
        char buf[8] = "keep";
        EXPECT_EQ(scan(src, fmt, buf, buf).status, VI_ERROR_INV_FMT) << fmt;
        EXPECT_EQ(src.consumed(), 0u) << fmt;
        EXPECT_STREQ(buf, "keep") << fmt;
    }
    const char* unsupported[] = {"%p", "%a", "%@1d", "%l[a]", "%lT", "%ls"};
    for (const char* fmt : unsupported) {
        ScriptedSource src("data\n");
        char buf[8] = "keep";
        EXPECT_EQ(scan(src, fmt, buf, buf).status, VI_ERROR_NSUP_FMT) << fmt;
        EXPECT_EQ(src.consumed(), 0u) << fmt;
    }
}

TEST(FormatReader, NullTargetIsAnError) {
    ScriptedSource src("data\n");
    EXPECT_EQ(scan(src, "%T", static_cast<char*>(nullptr)).status, VI_ERROR_USER_BUF);
    EXPECT_EQ(src.consumed(), 0u);
}

// Blocks and raw binary: what lands in the array, the count told, and how
// much of the reply the directive took (a block over the capacity is taken
// whole, the rest dropped).
struct BinaryCase {
    const char* reply;
    std::size_t reply_size;  // the reply may hold NULs
    const char* format;      // with '#': the count; else a width
    int capacity;
    int count;                          // elements stored (with '#')
    std::vector<std::uint64_t> values;  // each element as its bits
    std::size_t consumed;
};

#define BYTES(s) s, sizeof(s) - 1

const BinaryCase kBinaryCases[] = {
    {BYTES("#15hello\n"), "%#b", 16, 5, {'h', 'e', 'l', 'l', 'o'}, 8},
    {BYTES("#14\x01\x02\x03\x04\n"), "%#hb", 8, 2, {0x0102, 0x0304}, 7},
    {BYTES("#14\x01\x02\x03\x04\n"), "%#!olhb", 8, 2, {0x0201, 0x0403}, 7},
    {BYTES("#14\x01\x02\x03\x04\n"), "%#!obhb", 8, 2, {0x0102, 0x0304}, 7},
    {BYTES("#18\0\0\0\x01\xff\xff\xff\xfe"), "%#lb", 4, 2, {1, 0xfffffffe}, 11},
    {BYTES("#18\x01\x02\x03\x04\x05\x06\x07\x08"), "%#llb", 4, 1, {0x0102030405060708}, 11},
    {BYTES("#14\x3f\xc0\0\0"), "%#zb", 4, 1, {0x3fc00000}, 7},
    {BYTES("#18\xc0\x02\0\0\0\0\0\0"), "%#Zb", 4, 1, {0xc002000000000000}, 11},
    {BYTES("#0abc\n"), "%#b", 16, 3, {'a', 'b', 'c'}, 6},
    {BYTES("#0abc"), "%#B", 16, 3, {'a', 'b', 'c'}, 5},
    {BYTES("#0abcdef\n"), "%#b", 2, 2, {'a', 'b'}, 9},
    {BYTES("#0ab\n"), "%#b", 3, 2, {'a', 'b'}, 5},
    {BYTES("#0\x01\x02\x03\x04\x05\n"), "%#hb", 8, 2, {0x0102, 0x0304}, 8},
    {BYTES("#15hello\n"), "%#b", 3, 3, {'h', 'e', 'l'}, 8},
    {BYTES("#15hello\n"), "%3b", 3, 3, {'h', 'e', 'l'}, 8},
    {BYTES("#15hello\n"), "%#b", 0, 0, {}, 8},
    {BYTES("  #12ab"), "%#b", 4, 2, {'a', 'b'}, 7},
    {BYTES("#13\x01\x02\x03"), "%#hb", 4, 1, {0x0102}, 6},
    {BYTES("#19abc"), "%#b", 8, 3, {'a', 'b', 'c'}, 6},
    {BYTES("#9999999999abc"), "%#b", 4, 3, {'a', 'b', 'c'}, 14},
    {BYTES("#x"), "%#b", 4, 0, {}, 1},
    {BYTES("abc"), "%#b", 4, 0, {}, 0},
    {BYTES("#10\n"), "%#b", 4, 0, {}, 3},
    {BYTES("abcdef"), "%#y", 3, 3, {'a', 'b', 'c'}, 3},
    {BYTES("\x01\x02\x03\x04"), "%#!olhy", 2, 2, {0x0201, 0x0403}, 4},
    {BYTES("\x01\x02\x03"), "%#hy", 2, 1, {0x0102}, 3},
};

class BinaryRead : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(BinaryRead, StoresElementsInHostOrderAndTellsTheCount) {
    const BinaryCase& c = GetParam();
    ScriptedSource src(std::string(c.reply, c.reply_size));
    std::string fmt = c.format;
    if (const auto order = fmt.find("!o"); order != std::string::npos)
        fmt.erase(order, 3);
    const std::size_t element = fmt.find("ll") != std::string::npos || fmt.find('Z') != fmt.npos ? 8
                                : fmt.find('l') != fmt.npos || fmt.find('z') != fmt.npos         ? 4
                                : fmt.find('h') != fmt.npos                                      ? 2
                                                            : 1;
    GuardedBuffer array(static_cast<std::size_t>(c.capacity) * element);
    int count = c.capacity;
    const Scan r = fmt.find('#') != std::string::npos
                       ? scan_direct(src, c.format, &count, array.data())
                       : scan_direct(src, c.format, array.data());
    EXPECT_EQ(r.status, VI_SUCCESS);
    if (fmt.find('#') != std::string::npos) {
        EXPECT_EQ(count, c.count);
    }
    for (std::size_t i = 0; i < c.values.size(); ++i) {
        std::uint64_t v = 0;
        std::memcpy(&v, array.data() + i * element, element);  // a little-endian host
        EXPECT_EQ(v, c.values[i]) << i;
    }
    EXPECT_EQ(src.consumed(), c.consumed);
    EXPECT_TRUE(array.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(FormatReader, BinaryRead, ::testing::ValuesIn(kBinaryCases));

// Number arrays: %,Nd and %,#lf read comma-separated lists into arrays.
// Element `i` of an array of T, as a double.
template <typename T>
double element_at(const unsigned char* array, std::size_t i) {
    T v;
    std::memcpy(&v, array + i * sizeof v, sizeof v);
    return static_cast<double>(v);
}

struct ArrayCase {
    const char* reply;
    const char* format;
    int capacity;
    int count;
    std::vector<double> values;
    double (*at)(const unsigned char*, std::size_t) = element_at<int>;
};

const ArrayCase kArrayCases[] = {
    {"1,-2,258,-4\n", "%,#d", 8, 4, {1, -2, 258, -4}},
    {"1,-2,258,-4\n", "%,3d", 3, 3, {1, -2, 258}},
    {"1.5,-2.25,5E-1,-4\n", "%,#lf", 8, 4, {1.5, -2.25, 0.5, -4}, element_at<double>},
    {"1.5, -2.25 ,3\n", "%,#f", 8, 3, {1.5, -2.25, 3}, element_at<float>},
    {"7,8,9\n", "%,#hd", 2, 2, {7, 8}, element_at<short>},
    {"ff,10\n", "%,#x", 4, 2, {255, 16}},
    {"5;6\n", "%,#ld", 4, 1, {5}, element_at<long>},
    {"x\n", "%,#d", 4, 0, {}},
};

class ArrayRead : public ::testing::TestWithParam<ArrayCase> {};

TEST_P(ArrayRead, ReadsUpToTheCountAndTellsIt) {
    const ArrayCase& c = GetParam();
    ScriptedSource src(c.reply);
    const std::string fmt = c.format;
    alignas(8) unsigned char array[8 * 8] = {};
    int count = c.capacity;
    const Scan r = fmt.find('#') != std::string::npos ? scan_direct(src, c.format, &count, array)
                                                      : scan_direct(src, c.format, array);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, c.count > 0 ? 1 : 0);
    if (fmt.find('#') != std::string::npos) {
        EXPECT_EQ(count, c.count);
    }
    for (std::size_t i = 0; i < c.values.size(); ++i)
        EXPECT_DOUBLE_EQ(c.at(array, i), c.values[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(FormatReader, ArrayRead, ::testing::ValuesIn(kArrayCases));

// Character sets and counted strings: what is stored and what is told.
struct TextCase {
    const char* reply;
    const char* format;
    int capacity;  // with '#': the buffer's size
    const char* stored;
    int count;  // with '#': the characters told
};

const TextCase kTextCases[] = {
    {"SIM,IO-TEST,1\nrest", "%[^\n]", 0, "SIM,IO-TEST,1", 0},
    {"abc123", "%[a-z]", 0, "abc", 0},
    {"]]x", "%[]]", 0, "]]", 0},
    {"a-b-c!", "%[-a-c]", 0, "a-b-c", 0},
    {"abcdef,", "%3[^,]", 0, "abc", 0},
    {"123", "%[a-z]", 0, "", 0},
    {"abcdef\n", "%#[^\n]", 4, "abc", 3},
    {"hello world", "%#s", 16, "hello", 5},
    {"hello world", "%#s", 3, "he", 2},
    {"a line\nnext", "%#T", 5, "a li", 4},
    {"xyz", "%#c", 2, "xy", 2},
};

class TextRead : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextRead, StoresWhatTheSetOrCountAllows) {
    const TextCase& c = GetParam();
    ScriptedSource src(c.reply);
    const std::string fmt = c.format;
    GuardedBuffer buf(c.capacity > 0 ? static_cast<std::size_t>(c.capacity) : 32);
    if (fmt.find('c') != std::string::npos)
        std::memset(buf.data(), 0, static_cast<std::size_t>(c.capacity));
    int count = c.capacity;
    const Scan r = fmt.find('#') != std::string::npos
                       ? scan_direct(src, c.format, &count, buf.data())
                       : scan_direct(src, c.format, buf.data());
    EXPECT_EQ(r.status, VI_SUCCESS);
    if (fmt.back() == 'c') {
        EXPECT_EQ(std::string(buf.data(), static_cast<std::size_t>(c.count)), c.stored);
    } else {
        EXPECT_EQ(buf.text(), c.stored);
    }
    if (fmt.find('#') != std::string::npos) {
        EXPECT_EQ(count, c.count);
    }
    EXPECT_TRUE(buf.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(FormatReader, TextRead, ::testing::ValuesIn(kTextCases));

// A number that does not fit its target is a range error, never a wrong
// value with success; one that fits is stored exactly.
struct RangeCase {
    std::string reply;
    const char* format;
    ViStatus status;
    double value;  // stored when the status is success
    double (*at)(const unsigned char*, std::size_t) = element_at<double>;
};

const RangeCase kRangeCases[] = {
    {std::string(512, '9'), "%d", sgvisa::format::kRangeError, 0},
    {std::string(600, '1'), "%lld", sgvisa::format::kRangeError, 0},
    {"2147483648", "%d", sgvisa::format::kRangeError, 0},
    {"-2147483648", "%d", VI_SUCCESS, -2147483648.0, element_at<int>},
    {"70000", "%hd", sgvisa::format::kRangeError, 0},
    {"-129", "%hhd", sgvisa::format::kRangeError, 0},
    {"65535", "%hu", VI_SUCCESS, 65535, element_at<unsigned short>},
    {"4294967296", "%u", sgvisa::format::kRangeError, 0},
    {"99999999999999999999", "%llu", sgvisa::format::kRangeError, 0},
    {"1e999", "%lf", sgvisa::format::kRangeError, 0},
    {"1e39", "%f", sgvisa::format::kRangeError, 0},
    {"1e-400", "%lf", VI_SUCCESS, 0},
    {"1,2,99999999999", "%,#d", sgvisa::format::kRangeError, 0},
};

class RangeRead : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeRead, OutOfRangeIsAnErrorNotAWrongValue) {
    const RangeCase& c = GetParam();
    ScriptedSource src(c.reply + "\n");
    alignas(16) unsigned char target[64];
    std::memset(target, 0x5a, sizeof target);
    const std::string fmt = c.format;
    int count = 4;
    const Scan r = fmt.find('#') != std::string::npos ? scan(src, c.format, &count, target)
                                                      : scan(src, c.format, target);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(src.discards(), 1);  // the rest of the reply is dropped all the same
    if (c.status != VI_SUCCESS) {
        if (fmt.find('#') == std::string::npos) {
            EXPECT_EQ(target[0], 0x5a);  // nothing stored
        } else {
            EXPECT_EQ(count, 2);
        }
        return;
    }
    EXPECT_EQ(c.at(target, 0), c.value);
}

INSTANTIATE_TEST_SUITE_P(FormatReader, RangeRead, ::testing::ValuesIn(kRangeCases));

TEST(FormatReader, PositionDirectiveTellsBytesTaken) {
    ScriptedSource src("  abc 12\n");
    char word[8];
    int at = -1;
    int n = 0;
    short at2 = -1;
    const Scan r = scan(src, "%7s%n%d%hn", word, &at, &n, &at2);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.assigned, 2);  // %n is no assignment
    EXPECT_EQ(at, 5);
    EXPECT_EQ(at2, 8);
}

}  // namespace
