// Replies whose packets are not shaped as the class rules say: short
// packets in the middle of a transfer, no zero-length packet after a
// transfer that fills its last packet, bytes past TransferSize in the same
// transfer. Each reply is read whole, at once, and the next one is the next
// query's. (Zero-length packets ahead of replies: ForeignTransfer.)
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

std::string text_of(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i + 1 < n; ++i)
        s.push_back(static_cast<char>('a' + i % 26));
    return s + "\n";
}

class PacketShape : public UsbtmcHostTest {
  protected:
    // Answers every query with `n` bytes.
    void reply_with(std::size_t n) {
        device->respond = [n](const std::string&) { return text_of(n); };
    }
};

TEST_F(PacketShape, NoReplyLengthWaitsForAZeroLengthPacketThatNeverComes) {
    for (const std::uint16_t packet : {64, 512}) {
        SCOPED_TRACE(packet);
        device = std::make_shared<FakeUsbtmcDevice>();
        device->max_packet_size = packet;
        device->no_zlp = true;
        open();
        // 52 and 116 (full speed), 500 (high speed) fill their last packet
        // with the header; every length up to a few packets is tried.
        for (std::size_t n = 1; n <= 3u * packet + 8; ++n) {
            reply_with(n);
            std::string answer;
            ASSERT_EQ(query("Q?\n", answer, 4096), VI_SUCCESS) << n << " bytes";
            ASSERT_EQ(answer, text_of(n)) << n << " bytes";
        }
        EXPECT_EQ(device->count_events("in stuck"), 0);
        EXPECT_EQ(device->count_events("in timeout"), 0);
    }
}

TEST_F(PacketShape, ShortPacketsOf64OnAHighSpeedEndpointMakeOneTransfer) {
    device->max_packet_size = 512;
    device->piece = 64;  // every packet short, header in the first only
    reply_with(3000);
    open();
    std::string answer;
    int reads = 0;
    ASSERT_EQ(write("WAVE?\n"), VI_SUCCESS);
    ASSERT_EQ(read_all(answer, 4096, &reads), VI_SUCCESS);
    EXPECT_EQ(answer, text_of(3000));
    EXPECT_EQ(reads, 1) << "one DEV_DEP_MSG_IN, however many short packets";
    EXPECT_EQ(device->count_events("out REQ"), 1);
    device->respond = echo_queries;
    expect_next_query_works();
}

// Bytes past TransferSize, of any length: inside the last packet, filling
// it, and running over into more packets after one that the reply filled.
TEST_F(PacketShape, BytesPastTransferSizeAreDroppedAndNeverReadAsTheNextHeader) {
    for (const std::uint16_t packet : {64, 512}) {
        for (const std::size_t reply : {20, 52, 116, 500}) {
            for (const std::size_t extra : {3, 12, 64, 600}) {
                SCOPED_TRACE(std::to_string(packet) + " " + std::to_string(reply) + "+" +
                             std::to_string(extra));
                device = std::make_shared<FakeUsbtmcDevice>();
                device->max_packet_size = packet;
                device->junk_after = extra;
                reply_with(reply);
                open();
                for (int i = 0; i < 3; ++i) {
                    std::string answer;
                    ASSERT_EQ(query("Q?\n", answer, 1024), VI_SUCCESS);
                    ASSERT_EQ(answer, text_of(reply));
                }
            }
        }
    }
}

}  // namespace
}  // namespace sgtest
