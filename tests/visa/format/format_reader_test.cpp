#include <gtest/gtest.h>

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
    const char* invalid[] = {"%", "%0T", "%q", "%hT", "%LT", "%Ld", "%hf", "%1000001T"};
    for (const char* fmt : invalid) {
        ScriptedSource src("data\n");
        char buf[8] = "keep";
        EXPECT_EQ(scan(src, fmt, buf, buf).status, VI_ERROR_INV_FMT) << fmt;
        EXPECT_EQ(src.consumed(), 0u) << fmt;
        EXPECT_STREQ(buf, "keep") << fmt;
    }
    const char* unsupported[] = {"%b", "%y", "%#T", "%[a-z]", "%,5d", "%n", "%lT", "%ls"};
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

}  // namespace
