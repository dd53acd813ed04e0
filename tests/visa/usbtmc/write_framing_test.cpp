// DEV_DEP_MSG_OUT and REQUEST_DEV_DEP_MSG_IN framing, byte for byte.
#include <set>

#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

using Bytes = std::vector<std::uint8_t>;

// `frame` with bTag `tag` and its inverse in bytes 1 and 2.
Bytes tagged(Bytes frame, std::uint8_t tag) {
    frame[1] = tag;
    frame[2] = static_cast<std::uint8_t>(~tag);
    return frame;
}

std::uint8_t after(std::uint8_t tag) {
    return tag == 255 ? 1 : static_cast<std::uint8_t>(tag + 1);
}

std::uint32_t transfer_size_of(const Bytes& frame) {
    return static_cast<std::uint32_t>(frame[4]) | static_cast<std::uint32_t>(frame[5]) << 8 |
           static_cast<std::uint32_t>(frame[6]) << 16 | static_cast<std::uint32_t>(frame[7]) << 24;
}

TEST_F(UsbtmcHostTest, ShortMessageIsOneTransferWithEomAndPadding) {
    open();
    ASSERT_EQ(write("*RST\n"), VI_SUCCESS);
    ASSERT_EQ(device->out_frames.size(), 1u);
    const Bytes expected{1, 0, 0, 0, 5, 0, 0, 0, 0x01, 0, 0, 0, '*', 'R', 'S', 'T', '\n', 0, 0, 0};
    EXPECT_EQ(device->out_frames[0], tagged(expected, device->first_host_tag));
    ASSERT_EQ(device->messages.size(), 1u);
    EXPECT_EQ(device->messages[0], "*RST\n");
}

TEST_F(UsbtmcHostTest, WriteWithoutEndLeavesEomClearAndAlignedDataUnpadded) {
    open();
    ASSERT_EQ(write("ABCD", false), VI_SUCCESS);
    ASSERT_EQ(write("EFG\n", true), VI_SUCCESS);
    ASSERT_EQ(device->out_frames.size(), 2u);
    const Bytes first{1, 0, 0, 0, 4, 0, 0, 0, 0x00, 0, 0, 0, 'A', 'B', 'C', 'D'};
    const Bytes second{1, 0, 0, 0, 4, 0, 0, 0, 0x01, 0, 0, 0, 'E', 'F', 'G', '\n'};
    const std::uint8_t tag = device->first_host_tag;
    EXPECT_EQ(device->out_frames[0], tagged(first, tag));
    EXPECT_EQ(device->out_frames[1], tagged(second, after(tag)));
    ASSERT_EQ(device->messages.size(), 1u);
    EXPECT_EQ(device->messages[0], "ABCDEFG\n");
}

TEST_F(UsbtmcHostTest, LargeMessageIsSplitWithEomOnlyOnTheLastTransfer) {
    open();
    std::string big(10001, 'x');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(write(big), VI_SUCCESS);

    ASSERT_GE(device->out_frames.size(), 3u);
    std::string carried;
    for (std::size_t i = 0; i < device->out_frames.size(); ++i) {
        const Bytes& f = device->out_frames[i];
        const bool last = i + 1 == device->out_frames.size();
        EXPECT_EQ(f[0], 1);
        EXPECT_EQ(device->relative_tag(f[1]), static_cast<int>(i) + 1)
            << "bTag runs on per transfer";
        EXPECT_EQ(f[2], static_cast<std::uint8_t>(~f[1]));
        EXPECT_EQ(f[8], last ? 0x01 : 0x00) << "transfer " << i;
        EXPECT_EQ(f.size() % 4, 0u);
        const std::uint32_t n = transfer_size_of(f);
        ASSERT_GT(n, 0u);
        ASSERT_LE(12 + n, f.size());
        EXPECT_LT(f.size() - 12 - n, 4u) << "only alignment padding follows the data";
        for (std::size_t p = 12 + n; p < f.size(); ++p)
            EXPECT_EQ(f[p], 0) << "padding is zeros";
        carried.append(f.begin() + 12, f.begin() + 12 + n);
    }
    EXPECT_EQ(carried, big);
    ASSERT_EQ(device->messages.size(), 1u);
    EXPECT_EQ(device->messages[0], big);
}

TEST_F(UsbtmcHostTest, BtagWrapsFrom255To1AndIsNeverZero) {
    open();
    std::vector<int> tags;
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(write("X\n"), VI_SUCCESS);
        const Bytes& f = device->out_frames.back();
        ASSERT_EQ(f[2], static_cast<std::uint8_t>(~f[1]));
        tags.push_back(f[1]);
    }
    for (std::size_t i = 1; i < tags.size(); ++i) {
        EXPECT_NE(tags[i], 0);
        EXPECT_EQ(tags[i], after(static_cast<std::uint8_t>(tags[i - 1]))) << "at " << i;
    }
}

// A reply an earlier program left in the device is taken for the answer
// only when it carries the bTag of this host's first request: starting
// everywhere alike would make that the rule for a program run twice.
TEST_F(UsbtmcHostTest, ConnectionsStartTheirBtagsInDifferentPlaces) {
    std::set<int> first_tags;
    for (int i = 0; i < 8; ++i) {
        device = std::make_shared<FakeUsbtmcDevice>();
        open();
        ASSERT_EQ(write("X\n"), VI_SUCCESS);
        first_tags.insert(device->first_host_tag);
    }
    EXPECT_GT(first_tags.size(), 1u);
}

TEST_F(UsbtmcHostTest, ReadRequestAsksForTheCallersBufferSize) {
    open();
    ASSERT_EQ(write("A?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(100);
    std::size_t count = 0;
    bool end = false;
    ASSERT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_SUCCESS);
    ASSERT_EQ(device->out_frames.size(), 2u);
    const Bytes request{2, 0, 0, 0, 100, 0, 0, 0, 0x00, 0, 0, 0};
    EXPECT_EQ(device->out_frames[1], tagged(request, after(device->first_host_tag)))
        << "REQUEST_DEV_DEP_MSG_IN shares the bTag sequence";
    EXPECT_EQ(device->count_events("in unaligned"), 0) << "bulk-IN asks in whole packets";
}

TEST_F(UsbtmcHostTest, NothingIsSentOnceTheDeadlineHasPassed) {
    open();
    const std::uint8_t byte = 'A';
    EXPECT_EQ(transport->write({&byte, 1}, true, sgvisa::Clock::now() - std::chrono::seconds(1)),
              VI_ERROR_TMO);
    std::vector<std::uint8_t> buf(16);
    std::size_t count = 1;
    bool end = true;
    EXPECT_EQ(sgtest::read_from(*transport, buf, sgvisa::Clock::now() - std::chrono::seconds(1),
                                count, end),
              VI_ERROR_TMO);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(end);
    EXPECT_TRUE(device->events.empty());
}

}  // namespace
}  // namespace sgtest
