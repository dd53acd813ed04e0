// The local bus wire formats field by field: frame headers, the device hello
// in its current 12-byte form and in the 10-byte form of older devices, and
// the strings after it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "localbus_frames.h"

namespace {

namespace lb = sgproto::localbus;
using Bytes = std::vector<std::uint8_t>;

TEST(LocalbusFrames, HeaderFieldsAreLittleEndianAtTheirOffsets) {
    const std::uint8_t payload[] = {0xAA, 0xBB};
    const Bytes frame =
        lb::encode_frame(lb::INTERRUPT_IN, lb::STATUS_CANCELLED, 0x01020304, 0x0A0B0C0D, payload);
    EXPECT_EQ(frame, (Bytes{9, 2, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 2, 0, 0, 0,
                            0xAA, 0xBB}));
    lb::FrameHeader h;
    ASSERT_TRUE(lb::decode_header(frame, h));
    EXPECT_EQ(h.type, lb::INTERRUPT_IN);
    EXPECT_EQ(h.status, lb::STATUS_CANCELLED);
    EXPECT_EQ(h.seq, 0x01020304u);
    EXPECT_EQ(h.param, 0x0A0B0C0Du);
    EXPECT_EQ(h.length, 2u);
    EXPECT_FALSE(lb::decode_header(std::span(frame).first(lb::kFrameHeaderSize - 1), h));
    EXPECT_EQ(int(lb::INTERRUPT_IN), 9);
    EXPECT_EQ(lb::kKeptInterruptPackets, 16u);
}

TEST(LocalbusFrames, HelloCarriesTheInterruptInEndpointAndDecodesBothSizes) {
    lb::DeviceHello h;
    h.vendor_id = 0x4d19;
    h.product_id = 0x0040;
    h.interface_number = 3;
    h.bulk_out_endpoint = 0x01;
    h.bulk_in_endpoint = 0x82;
    h.interface_protocol = 1;
    h.max_packet_size = 0x0200;
    h.interrupt_in_endpoint = 0x83;
    h.interrupt_in_packet_size = 2;
    std::array<std::uint8_t, lb::kDeviceHelloSize> wire{};
    lb::encode_hello(h, wire);
    EXPECT_EQ(Bytes(wire.begin(), wire.end()),
              (Bytes{0x19, 0x4d, 0x40, 0x00, 3, 0x01, 0x82, 1, 0x00, 0x02, 0x83, 2}));

    // The HELLO frame's param says the size; 0 is an older device's 10 bytes.
    EXPECT_EQ(lb::device_hello_size(0), lb::kShortDeviceHelloSize);
    EXPECT_EQ(lb::device_hello_size(12), lb::kDeviceHelloSize);
    Bytes payload(wire.begin(), wire.end());
    const Bytes names = lb::encode_hello_strings("SIM001", "Maker", "Model");
    payload.insert(payload.end(), names.begin(), names.end());
    lb::DeviceHello back;
    ASSERT_TRUE(lb::decode_hello(payload, lb::device_hello_size(12), back));
    EXPECT_EQ(back.interrupt_in_endpoint, 0x83);
    EXPECT_EQ(back.interrupt_in_packet_size, 2);
    EXPECT_EQ(back.max_packet_size, 0x0200);
    EXPECT_EQ(back.vendor_id, 0x4d19);
    EXPECT_EQ(back.interface_number, 3);
    lb::DeviceHello current;
    ASSERT_TRUE(lb::decode_hello(payload, current));
    EXPECT_EQ(current.interrupt_in_endpoint, 0x83) << "the one-argument form reads 12 bytes";
    std::string serial, maker, model;
    lb::decode_hello_strings(std::span(payload).subspan(12), serial, maker, model);
    EXPECT_EQ(serial + "|" + maker + "|" + model, "SIM001|Maker|Model");

    // An older device: 10 bytes, the serial right after them.
    Bytes old(wire.begin(), wire.begin() + 10);
    old.insert(old.end(), {'O', 'L', 'D', '1'});
    lb::DeviceHello short_hello;
    short_hello.interrupt_in_endpoint = 0x55;  // overwritten
    ASSERT_TRUE(lb::decode_hello(old, lb::device_hello_size(0), short_hello));
    EXPECT_EQ(short_hello.interrupt_in_endpoint, 0) << "no interrupt-IN endpoint";
    EXPECT_EQ(short_hello.interrupt_in_packet_size, 0);
    EXPECT_EQ(short_hello.max_packet_size, 0x0200);
    EXPECT_EQ(short_hello.interface_protocol, 1);
    lb::decode_hello_strings(std::span(old).subspan(lb::device_hello_size(0)), serial, maker,
                             model);
    EXPECT_EQ(serial, "OLD1");

    // A later, longer hello keeps the fields we know; sizes between, and
    // payloads shorter than the size, are refused.
    Bytes longer(wire.begin(), wire.end());
    longer.insert(longer.end(), {0xEE, 0xEE});
    ASSERT_TRUE(lb::decode_hello(longer, 14, back));
    EXPECT_EQ(back.interrupt_in_endpoint, 0x83);
    EXPECT_FALSE(lb::decode_hello(longer, 11, back));
    EXPECT_FALSE(lb::decode_hello(std::span(wire).first(11), 12, back));
    EXPECT_FALSE(lb::decode_hello(std::span(wire).first(9), 10, back));
}

}  // namespace
