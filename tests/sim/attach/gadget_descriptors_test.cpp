// The FunctionFS descriptor and string blobs: the kernel refuses a blob whose
// lengths or counts disagree, and the endpoint order fixes which file (ep1,
// ep2, ep3) is which endpoint.
#include <gtest/gtest.h>

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <cstdint>
#include <string>
#include <vector>

#include "attach/gadget_descriptors.h"
#include "device/usbtmc_device.h"

namespace {

namespace g = sgsim::gadget;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at)) | static_cast<std::uint32_t>(b.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(b.at(at + 2)) << 16 |
           static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}

std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

// The descriptors of one speed, split by their bLength.
std::vector<Bytes> split_descriptors(const Bytes& blob, std::size_t& at, std::uint32_t count) {
    std::vector<Bytes> out;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t len = blob.at(at);
        EXPECT_GE(len, 2u);
        EXPECT_LE(at + len, blob.size());
        out.emplace_back(blob.begin() + static_cast<std::ptrdiff_t>(at),
                         blob.begin() + static_cast<std::ptrdiff_t>(at + len));
        at += len;
    }
    return out;
}

TEST(GadgetDescriptors, HeaderLengthAndCountsMatchTheDescriptorsThatFollow) {
    for (const bool interrupt_in : {true, false}) {
        SCOPED_TRACE(interrupt_in ? "with interrupt-IN" : "without interrupt-IN");
        const Bytes blob = g::descriptors_blob(interrupt_in);
        ASSERT_GE(blob.size(), 20u);
        EXPECT_EQ(le32(blob, 0), static_cast<std::uint32_t>(FUNCTIONFS_DESCRIPTORS_MAGIC_V2));
        EXPECT_EQ(le32(blob, 4), blob.size());
        EXPECT_EQ(le32(blob, 8),
                  static_cast<std::uint32_t>(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC));
        EXPECT_EQ(le32(blob, 12), interrupt_in ? 4u : 3u) << "fs_count";
        EXPECT_EQ(le32(blob, 16), le32(blob, 12)) << "hs_count";
        std::size_t at = 20;
        split_descriptors(blob, at, le32(blob, 12));
        split_descriptors(blob, at, le32(blob, 16));
        EXPECT_EQ(at, blob.size()) << "bytes left over after the counted descriptors";
    }
}

TEST(GadgetDescriptors, EachSpeedHasAUsb488InterfaceWithBulkOutBulkInThenInterruptIn) {
    for (const bool interrupt_in : {true, false}) {
        SCOPED_TRACE(interrupt_in ? "with interrupt-IN" : "without interrupt-IN");
        const Bytes blob = g::descriptors_blob(interrupt_in);
        const unsigned endpoints = interrupt_in ? 3 : 2;
        std::size_t at = 20;
        const std::uint16_t packets[] = {g::kFullSpeedPacket, g::kHighSpeedPacket};
        const std::uint8_t intervals[] = {g::kFullSpeedInterval, g::kHighSpeedInterval};
        for (int speed = 0; speed < 2; ++speed) {
            SCOPED_TRACE(packets[speed]);
            const auto d = split_descriptors(blob, at, endpoints + 1);
            ASSERT_EQ(d.size(), endpoints + 1);
            ASSERT_EQ(d[0].size(), USB_DT_INTERFACE_SIZE);
            EXPECT_EQ(d[0][1], USB_DT_INTERFACE);
            EXPECT_EQ(d[0][4], endpoints) << "bNumEndpoints";
            EXPECT_EQ(d[0][5], 0xFE);
            EXPECT_EQ(d[0][6], 0x03);
            EXPECT_EQ(d[0][7], 0x01) << "USB488";
            EXPECT_EQ(d[0][8], 1) << "iInterface names the one string";
            for (unsigned i = 1; i <= endpoints; ++i) {
                ASSERT_EQ(d[i].size(), USB_DT_ENDPOINT_SIZE);
                EXPECT_EQ(d[i][1], USB_DT_ENDPOINT);
                EXPECT_EQ(d[i][2], g::endpoint_address(i, interrupt_in))
                    << "FunctionFS index " << i;
            }
            EXPECT_EQ(d[1][2] & USB_DIR_IN, 0) << "ep1 must be bulk-OUT";
            EXPECT_EQ(d[2][2] & USB_DIR_IN, USB_DIR_IN) << "ep2 must be bulk-IN";
            for (unsigned i = 1; i <= 2; ++i) {
                EXPECT_EQ(d[i][3], USB_ENDPOINT_XFER_BULK);
                EXPECT_EQ(le16(d[i], 4), packets[speed]);
            }
            if (!interrupt_in)
                continue;
            EXPECT_EQ(d[3][2], 0x83) << "ep3 is interrupt-IN";
            EXPECT_EQ(d[3][3], USB_ENDPOINT_XFER_INT);
            EXPECT_EQ(le16(d[3], 4), 2) << "one notification per packet";
            EXPECT_EQ(d[3][6], intervals[speed]) << "bInterval";
        }
    }
}

TEST(GadgetDescriptors, EndpointIndexesMapToTheDeviceCoresAddresses) {
    using sgsim::UsbtmcDevice;
    for (const bool interrupt_in : {true, false}) {
        EXPECT_EQ(g::endpoint_address(g::kOutEndpointIndex, interrupt_in),
                  UsbtmcDevice::kBulkOutEndpoint);
        EXPECT_EQ(g::endpoint_address(g::kInEndpointIndex, interrupt_in),
                  UsbtmcDevice::kBulkInEndpoint);
        EXPECT_EQ(g::endpoint_address(0, interrupt_in), 0);
        EXPECT_EQ(g::endpoint_address(4, interrupt_in), 0);
    }
    EXPECT_EQ(g::endpoint_address(g::kInterruptEndpointIndex, true),
              UsbtmcDevice::kInterruptInEndpoint);
    EXPECT_EQ(g::endpoint_address(g::kInterruptEndpointIndex, false), 0);
}

TEST(GadgetStrings, OneUsEnglishStringZeroTerminatedWithTheLengthInTheHeader) {
    const Bytes blob = g::strings_blob(std::string("Sim\0ulated", 10));
    ASSERT_GE(blob.size(), 18u);
    EXPECT_EQ(le32(blob, 0), static_cast<std::uint32_t>(FUNCTIONFS_STRINGS_MAGIC));
    EXPECT_EQ(le32(blob, 4), blob.size());
    EXPECT_EQ(le32(blob, 8), 1u) << "str_count";
    EXPECT_EQ(le32(blob, 12), 1u) << "lang_count";
    EXPECT_EQ(le16(blob, 16), 0x0409);
    // An embedded NUL would end the string early and leave a stray one.
    const std::string text(blob.begin() + 18, blob.end());
    EXPECT_EQ(text, std::string("Simulated\0", 10));
}

}  // namespace
