// The packets the attachments make of the device's bulk-IN transfers: the
// local bus's stream, read as a host controller reads it, and the writes a
// gadget makes so that its UDC sends the same packets.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "attach/packet_shape.h"
#include "attach/packet_stream.h"

namespace {

using sgsim::DeviceQuirks;
using sgsim::EndpointWrite;
using sgsim::packet_shape;
using sgsim::PacketStream;
using sgsim::plan_writes;

// A transfer of `n` bytes counting up from `first`, so that any byte read
// tells where it came from.
std::vector<std::uint8_t> transfer(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> t(n);
    for (std::size_t i = 0; i < n; ++i)
        t[i] = static_cast<std::uint8_t>(first + i);
    return t;
}

// The reads of at most `max` bytes until one would wait: their lengths, and
// whether the bytes came out whole and in order from `first`.
std::vector<std::size_t> reads(PacketStream& s, std::size_t max, std::uint8_t first = 0) {
    std::vector<std::size_t> lengths;
    std::vector<std::uint8_t> out;
    std::uint8_t next = first;
    while (lengths.size() < 100 && s.read(max, out)) {
        lengths.push_back(out.size());
        for (const std::uint8_t b : out)
            EXPECT_EQ(b, next++) << "read " << lengths.size();
    }
    return lengths;
}

using Lengths = std::vector<std::size_t>;

TEST(PacketStream, ReadsEndAtShortAndZeroLengthPacketsOrWhenFull) {
    PacketStream s(packet_shape({}, 512));
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(s.read(4608, out)) << "nothing yet";

    s.write(transfer(100));
    s.write(transfer(200, 100));
    EXPECT_EQ(reads(s, 4608), (Lengths{100, 200})) << "each transfer ends at its short packet";

    s.write(transfer(1024));  // two full packets and a zero-length one
    EXPECT_EQ(reads(s, 4608), (Lengths{1024}));
    EXPECT_TRUE(s.empty()) << "the zero-length packet ended that read";

    s.write(transfer(512));
    EXPECT_EQ(reads(s, 512), (Lengths{512, 0})) << "a read filled at a full packet leaves it";

    s.write(transfer(1200));
    EXPECT_EQ(reads(s, 512), (Lengths{512, 512, 176}));
    s.write(transfer(690));
    EXPECT_EQ(reads(s, 100), (Lengths{100, 100, 100, 100, 100, 100, 90}))
        << "the packet boundaries stay where they were made";
    s.write(transfer(1000));
    EXPECT_EQ(reads(s, 700), (Lengths{700, 300}));

    s.write(transfer(20));
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_FALSE(s.read(4608, out));
}

TEST(PacketStream, ReadThroughOnlyWhenTheReadWouldTakeTheWholeTransferAndLeaveNothing) {
    PacketStream s(packet_shape({}, 512));
    auto t = transfer(100);
    EXPECT_TRUE(s.read_through(t, 4608));
    EXPECT_EQ(t.size(), 100u);
    t = transfer(1024);
    EXPECT_TRUE(s.read_through(t, 4608)) << "its zero-length packet is taken with it";
    EXPECT_TRUE(s.empty());
    t = transfer(512);
    EXPECT_FALSE(s.read_through(t, 512)) << "the zero-length packet would stay";
    EXPECT_EQ(reads(s, 512), (Lengths{512, 0}));
    t = transfer(2000);
    EXPECT_FALSE(s.read_through(t, 1024));
    EXPECT_EQ(reads(s, 1024), (Lengths{1024, 976}));
    s.write(transfer(10));
    t = transfer(10, 10);
    EXPECT_FALSE(s.read_through(t, 4608)) << "behind what waits already";
    EXPECT_EQ(reads(s, 4608), (Lengths{10, 10}));

    for (const DeviceQuirks q : {DeviceQuirks{.packet64 = true}, DeviceQuirks{.no_zlp = true},
                                 DeviceQuirks{.leading_empty = true}}) {
        PacketStream shaped(packet_shape(q, 512));
        t = transfer(q.no_zlp ? 512 : 100);
        EXPECT_FALSE(shaped.read_through(t, 4608));
        EXPECT_FALSE(shaped.empty());
    }
}

TEST(PacketStream, WithoutZeroLengthPacketsAFullLastPacketRunsIntoTheNextTransfer) {
    PacketStream s(packet_shape({.no_zlp = true}, 512));
    std::vector<std::uint8_t> out;
    s.write(transfer(512));
    EXPECT_FALSE(s.read(4608, out)) << "the read waits for a short packet";
    EXPECT_EQ(reads(s, 512), (Lengths{512})) << "but a read of exactly 512 ends";
    s.write(transfer(1024));
    EXPECT_FALSE(s.read(4608, out));
    s.write(transfer(40));
    EXPECT_EQ(reads(s, 4608), (Lengths{1064})) << "one read, both transfers";
    EXPECT_TRUE(s.empty());

    // A read that waits and is cancelled keeps the packets it received.
    s.write(transfer(1024));
    EXPECT_FALSE(s.read(4608, out));
    s.take_received(4608, out);
    EXPECT_EQ(out, transfer(1024));
    EXPECT_TRUE(s.empty());
    s.take_received(4608, out);
    EXPECT_TRUE(out.empty());
}

TEST(PacketStream, Packet64AndLeadingEmpty) {
    PacketStream small(packet_shape({.packet64 = true}, 512));
    small.write(transfer(200));
    small.write(transfer(128, 200));
    EXPECT_EQ(reads(small, 4608), (Lengths{64, 64, 64, 8, 64, 64}))
        << "every packet is short; none is followed by a zero-length one";

    PacketStream empty_first(packet_shape({.leading_empty = true}, 512));
    empty_first.write(transfer(100));
    empty_first.write(transfer(512, 100));
    EXPECT_EQ(reads(empty_first, 4608), (Lengths{0, 100, 0, 512}));
    EXPECT_TRUE(empty_first.empty());

    PacketStream both(packet_shape({.packet64 = true, .no_zlp = true, .leading_empty = true}, 512));
    both.write(transfer(64));
    EXPECT_EQ(reads(both, 4608), (Lengths{0, 64}));
}

TEST(PacketShape, GadgetWritesMakeTheSamePackets) {
    using W = std::vector<EndpointWrite>;
    EXPECT_EQ(plan_writes(100, packet_shape({}, 512)), (W{{0, 100}}));
    EXPECT_EQ(plan_writes(512, packet_shape({}, 512)), (W{{0, 512}, {512, 0}}));
    EXPECT_EQ(plan_writes(1536, packet_shape({}, 512)), (W{{0, 1536}, {1536, 0}}));
    EXPECT_EQ(plan_writes(512, packet_shape({.no_zlp = true}, 512)), (W{{0, 512}}));
    EXPECT_EQ(plan_writes(64, packet_shape({}, 64)), (W{{0, 64}, {64, 0}})) << "full speed";
    EXPECT_EQ(plan_writes(150, packet_shape({.packet64 = true}, 512)),
              (W{{0, 64}, {64, 64}, {128, 22}}));
    EXPECT_EQ(plan_writes(128, packet_shape({.packet64 = true}, 512)), (W{{0, 64}, {64, 64}}))
        << "a 64-byte packet of a 512-byte endpoint is short";
    EXPECT_EQ(plan_writes(128, packet_shape({.packet64 = true}, 64)), (W{{0, 128}, {128, 0}}))
        << "at full speed packet64 changes nothing";
    EXPECT_EQ(plan_writes(16, packet_shape({.leading_empty = true}, 512)), (W{{0, 0}, {0, 16}}));
}

}  // namespace
