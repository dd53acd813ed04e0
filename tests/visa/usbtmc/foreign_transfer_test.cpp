// Transfers that answer no request this host still waits for: a reply left
// in the device by an earlier program, a reply sent after its request timed
// out, a flood of them. Each is read to its end by its TransferSize and
// dropped; the read goes on waiting for its own reply within its deadline,
// and no byte of another message reaches the caller.
#include "proto/usbtmc.h"
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

using namespace std::chrono_literals;

struct Shape {
    const char* name;
    std::uint16_t packet;
    std::size_t piece;  // 0: whole packets
    bool zlp_before;
    bool unpadded = false;  // the dropped transfer ends without alignment bytes
};

void PrintTo(const Shape& s, std::ostream* os) {
    *os << s.name;
}

class ForeignTransfer : public UsbtmcHostTest, public ::testing::WithParamInterface<Shape> {
  protected:
    ForeignTransfer() {
        device->max_packet_size = GetParam().packet;
        device->piece = GetParam().piece;
        device->zlp_before = GetParam().zlp_before;
        device->unpadded = GetParam().unpadded;
    }
};

// Fault 1: a program killed in the middle of a query left its reply.
TEST_P(ForeignTransfer, ReplyLeftByAnEarlierProgramIsDroppedAndTheQueryGetsItsOwn) {
    // Longer than one packet, so that dropping it means reading on by its
    // TransferSize, across packets.
    device->queue_leftover(-100, "LEFT OVER " + std::string(600, 'L') + "\n");
    open();
    std::string answer;
    ASSERT_EQ(query("*IDN?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "*IDN?=ANSWER\n");
    EXPECT_TRUE(device->fifo.empty());
    expect_next_query_works();
}

// Fault 2: the device answers after the host gave up, and its abort came
// while nothing was being sent (STATUS_TRANSFER_NOT_IN_PROGRESS).
TEST_P(ForeignTransfer, LateReplyAfterATimeoutIsDroppedAndEveryLaterQueryGetsItsOwn) {
    open();
    device->never_answer = true;
    device->initiate_abort_in_status = sgproto::usbtmc::STATUS_TRANSFER_NOT_IN_PROGRESS;
    ASSERT_EQ(write("SLOW?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(256);
    std::size_t count = 99;
    bool end = true;
    ASSERT_EQ(read_from(*transport, buf, later(), count, end), VI_ERROR_TMO);
    const std::uint8_t abandoned = device->last_request_tag;

    // Now the slow reply comes, with the abandoned request's bTag, ahead of
    // whatever the device answers next.
    device->never_answer = false;
    device->initiate_abort_in_status.reset();
    device->queue_transfer(abandoned, device->pending_reply, true);
    device->pending_reply.clear();
    std::string answer;
    ASSERT_EQ(query("NEXT?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "NEXT?=ANSWER\n");
    expect_next_query_works();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ForeignTransfer,
    ::testing::Values(Shape{"FullSpeed", 64, 0, false}, Shape{"HighSpeed", 512, 0, false},
                      Shape{"ShortPacketsOf64AtHighSpeed", 512, 64, false},
                      Shape{"ZeroLengthPacketFirst", 64, 0, true},
                      Shape{"NoAlignmentBytes", 64, 0, false, true},
                      Shape{"NoAlignmentBytesInShortPackets", 512, 64, false, true}),
    [](const ::testing::TestParamInfo<Shape>& p) { return std::string(p.param.name); });

TEST_F(UsbtmcHostTest, DeviceFloodingForeignTransfersCannotKeepAReadPastItsDeadline) {
    open();
    device->flood = true;
    device->never_answer = true;
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(64, 0x55);
    std::size_t count = 99;
    bool end = true;
    const auto started = sgvisa::Clock::now();
    EXPECT_EQ(read_from(*transport, buf, sgvisa::deadline_after_ms(200), count, end), VI_ERROR_TMO);
    // The deadline, then the abort's own bound.
    EXPECT_LT(sgvisa::Clock::now() - started, 200ms + 1500ms);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buf, std::vector<std::uint8_t>(64, 0x55)) << "nothing of the flood was stored";
    EXPECT_GT(device->count_events("in "), 10);
}

}  // namespace
}  // namespace sgtest
