// Which bytes make up one key press.
#include <gtest/gtest.h>

#include <string>

#include "key_sequence.h"

namespace {

// Feeds `bytes` and returns how many were taken before the key was complete
// (bytes.size() + 1 when it never completed).
std::size_t bytes_in_key(const std::string& bytes) {
    KeySequence key;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (key.add(static_cast<unsigned char>(bytes[i])))
            return i + 1;
    return bytes.size() + 1;
}

TEST(KeySequence, SingleByteKeys) {
    for (int b = 0; b < 0x80; ++b) {
        if (b == 0x1b)
            continue;
        EXPECT_EQ(bytes_in_key(std::string(1, static_cast<char>(b)) + "zz"), 1u) << b;
    }
}

TEST(KeySequence, EscapeSequences) {
    EXPECT_EQ(bytes_in_key("\x1b[Azz"), 3u);     // arrow
    EXPECT_EQ(bytes_in_key("\x1bOPzz"), 3u);     // F1, application mode
    EXPECT_EQ(bytes_in_key("\x1b[15~zz"), 5u);   // F5
    EXPECT_EQ(bytes_in_key("\x1b[1;5Czz"), 6u);  // Ctrl+arrow
    EXPECT_EQ(bytes_in_key("\x1b[[Azz"), 4u);    // F1, Linux console
    EXPECT_EQ(bytes_in_key("\x1b[200~zz"), 6u);  // bracketed-paste start
    EXPECT_EQ(bytes_in_key("\x1bxzz"), 2u);      // Alt+x
    EXPECT_EQ(bytes_in_key("\x1b\x1bzz"), 2u);   // Alt+Escape
}

TEST(KeySequence, UnfinishedKeysWaitForMore) {
    EXPECT_EQ(bytes_in_key("\x1b"), 2u);
    EXPECT_EQ(bytes_in_key("\x1b["), 3u);
    EXPECT_EQ(bytes_in_key("\x1b[15"), 5u);
    EXPECT_EQ(bytes_in_key("\xe2\x82"), 3u);
}

TEST(KeySequence, Utf8Characters) {
    EXPECT_EQ(bytes_in_key("\xc3\xa9zz"), 2u);
    EXPECT_EQ(bytes_in_key("\xd0\xafzz"), 2u);
    EXPECT_EQ(bytes_in_key("\xe2\x82\xaczz"), 3u);
    EXPECT_EQ(bytes_in_key("\xf0\x9f\x98\x80zz"), 4u);
}

TEST(KeySequence, StrayBytesAreKeysOfTheirOwn) {
    EXPECT_EQ(bytes_in_key("\x80zz"), 1u);  // a lone continuation byte
    EXPECT_EQ(bytes_in_key("\xffzz"), 1u);
    EXPECT_EQ(bytes_in_key("\xc3zz"), 2u);  // a broken character ends at the byte that breaks it
}

}  // namespace
