// The local bus device hello field by field: its 12-byte form with the
// interrupt-IN endpoint, the 10-byte form of older devices (HELLO param 0),
// and a longer one from a later device.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "proto/localbus_frames.h"

namespace {

namespace lb = sgproto::localbus;
using Bytes = std::vector<std::uint8_t>;

TEST(LocalbusFrames, HelloCarriesTheInterruptInEndpointAndDecodesEverySize) {
    const lb::DeviceHello h{0x4d19, 0x0040, 3, 0x01, 0x82, 1, 0x0200, 0x83, 2};
    std::array<std::uint8_t, lb::kDeviceHelloSize> wire{};
    lb::encode_hello(h, wire);
    EXPECT_EQ(Bytes(wire.begin(), wire.end()),
              (Bytes{0x19, 0x4d, 0x40, 0x00, 3, 0x01, 0x82, 1, 0x00, 0x02, 0x83, 2}));
    EXPECT_EQ(lb::device_hello_size(12), 12u);
    EXPECT_EQ(lb::device_hello_size(0), 10u) << "an older device's HELLO";

    Bytes payload(wire.begin(), wire.end());
    const Bytes names = lb::encode_hello_strings("SIM001", "Maker", "Model");
    payload.insert(payload.end(), names.begin(), names.end());
    lb::DeviceHello back;
    ASSERT_TRUE(lb::decode_hello(payload, 12, back));
    EXPECT_EQ(std::vector<int>({back.vendor_id, back.interface_number, back.max_packet_size,
                                back.interrupt_in_endpoint, back.interrupt_in_packet_size}),
              std::vector<int>({0x4d19, 3, 0x0200, 0x83, 2}));
    std::string serial, maker, model;
    lb::decode_hello_strings(std::span(payload).subspan(12), serial, maker, model);
    EXPECT_EQ(serial + "|" + maker + "|" + model, "SIM001|Maker|Model");

    // 10 bytes, the serial right after them: no interrupt-IN endpoint.
    Bytes old(wire.begin(), wire.begin() + 10);
    old.insert(old.end(), {'O', 'L', 'D', '1'});
    back.interrupt_in_endpoint = 0x55;
    ASSERT_TRUE(lb::decode_hello(old, lb::device_hello_size(0), back));
    EXPECT_EQ(back.interrupt_in_endpoint, 0);
    EXPECT_EQ(back.interrupt_in_packet_size, 0);
    EXPECT_EQ(back.max_packet_size, 0x0200);
    lb::decode_hello_strings(std::span(old).subspan(10), serial, maker, model);
    EXPECT_EQ(serial, "OLD1");

    // A longer hello keeps the fields we know; other sizes, and payloads
    // shorter than their size, are refused.
    Bytes longer(wire.begin(), wire.end());
    longer.insert(longer.end(), {0xEE, 0xEE});
    ASSERT_TRUE(lb::decode_hello(longer, 14, back));
    EXPECT_EQ(back.interrupt_in_endpoint, 0x83);
    EXPECT_FALSE(lb::decode_hello(longer, 11, back));
    EXPECT_FALSE(lb::decode_hello(std::span(wire).first(11), 12, back));
    EXPECT_FALSE(lb::decode_hello(std::span(wire).first(9), 10, back));
    EXPECT_EQ(int(lb::INTERRUPT_IN), 9);
}

}  // namespace
