// Replies as devices really send them: in pieces, with zero-length packets,
// padded, longer than the caller's buffer, ending on a packet boundary.
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

TEST_F(UsbtmcHostTest, PlainReplyCarriesEnd) {
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("*IDN?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, 256, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, "*IDN?=ANSWER\n");
    EXPECT_EQ(reads, 1);
}

TEST_F(UsbtmcHostTest, ReplyInShortPiecesWithZeroLengthPacketsIsReassembled) {
    device->piece = 5;  // header split over three pieces, data over several
    device->zlp_before = true;
    device->zlp_between = true;
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("PIECES?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, 256, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, "PIECES?=ANSWER\n");
    EXPECT_EQ(reads, 1) << "one DEV_DEP_MSG_IN, however many bulk-IN transfers";
    EXPECT_GT(device->count_events("in "), 8);
    EXPECT_EQ(device->count_events("in unaligned"), 0);
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, PaddingUpToThePacketEndIsNotData) {
    device->junk_after = 20;  // 0xEE bytes after the alignment, still inside the packet
    open();
    std::string answer;
    ASSERT_EQ(query("PAD?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "PAD?=ANSWER\n");
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, TransfersWithoutEomAreJoinedByTheCaller) {
    device->max_data_per_transfer = 3;  // the device sends less than asked, EOM only at the end
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("SPLIT?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, 256, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, "SPLIT?=ANSWER\n");
    EXPECT_EQ(reads, 5);  // 14 bytes, 3 at a time
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, ReplyLongerThanTheBufferStaysWithTheDeviceUntilAskedFor) {
    open();
    ASSERT_EQ(write("LONGER?\n"), VI_SUCCESS);  // answer: "LONGER?=ANSWER\n", 15 bytes

    // An 8-byte window inside a larger guarded allocation.
    std::vector<std::uint8_t> storage(32, 0xAA);
    std::span<std::uint8_t> window(storage.data() + 8, 8);
    std::size_t count = 0;
    bool end = true;
    ASSERT_EQ(sgtest::read_from(*transport, window, later(), count, end), VI_SUCCESS);
    EXPECT_EQ(count, 8u);
    EXPECT_FALSE(end);
    EXPECT_EQ(std::string(window.begin(), window.end()), "LONGER?=");
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(storage[i], 0xAA) << "before, at " << i;
    for (std::size_t i = 16; i < storage.size(); ++i)
        EXPECT_EQ(storage[i], 0xAA) << "after, at " << i;

    std::vector<std::uint8_t> rest(64);
    ASSERT_EQ(sgtest::read_from(*transport, rest, later(), count, end), VI_SUCCESS);
    EXPECT_TRUE(end);
    EXPECT_EQ(std::string(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(count)),
              "ANSWER\n");
}

TEST_F(UsbtmcHostTest, OneByteBufferReadsAByteAtATime) {
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("B?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, 1, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, "B?=ANSWER\n");
    EXPECT_EQ(reads, 10);
}

TEST_F(UsbtmcHostTest, ReplyEndingOnAPacketBoundaryCompletes) {
    // 12 header bytes + 52 data bytes: exactly one 64-byte packet, then the
    // zero-length packet a device sends when it gives less than asked.
    device->respond = [](const std::string&) { return std::string(51, 'p') + "\n"; };
    open();
    std::string answer;
    ASSERT_EQ(query("P?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, std::string(51, 'p') + "\n");
    EXPECT_EQ(device->count_events("in stuck"), 0) << "the host asked for more than could come";
    // And asking for exactly that much: no zero-length packet follows.
    ASSERT_EQ(write("P?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(52);
    std::size_t count = 0;
    bool end = false;
    ASSERT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_SUCCESS);
    EXPECT_EQ(count, 52u);
    EXPECT_TRUE(end);
    EXPECT_EQ(device->count_events("in stuck"), 0);
}

TEST_F(UsbtmcHostTest, SmallPacketSizeLongReply) {
    device->max_packet_size = 8;
    const std::string block = [] {
        std::string s;
        for (int i = 0; i < 3000; ++i)
            s += static_cast<char>('0' + i % 10);
        return s + "\n";
    }();
    device->respond = [&](const std::string&) { return block; };
    open();
    std::string answer;
    ASSERT_EQ(query("BLOCK?\n", answer, 1000), VI_SUCCESS);
    EXPECT_EQ(answer, block);
    EXPECT_EQ(device->count_events("in unaligned"), 0);
    EXPECT_EQ(device->count_events("in stuck"), 0);
}

TEST_F(UsbtmcHostTest, LargeReplyWithLargeBuffer) {
    const std::string block(200000, 'z');
    device->respond = [&](const std::string&) { return block; };
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("BIG?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, block.size() + 100, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, block);
    EXPECT_GE(reads, 1);
}

}  // namespace
}  // namespace sgtest
