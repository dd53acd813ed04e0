// The USBTMC interface's endpoints as the configuration descriptor gives
// them: which setting is read, which endpoints count, what is rejected.
#include <gtest/gtest.h>

#include <array>

#include "libusb/libusb_device.h"

namespace sgtest {
namespace {

libusb_endpoint_descriptor endpoint(std::uint8_t address, std::uint8_t type,
                                    std::uint16_t max_packet) {
    libusb_endpoint_descriptor ep{};
    ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
    ep.bEndpointAddress = address;
    ep.bmAttributes = type;
    ep.wMaxPacketSize = max_packet;
    return ep;
}

libusb_interface_descriptor setting(std::uint8_t number, std::uint8_t alt, std::uint8_t cls,
                                    std::uint8_t subclass, std::uint8_t protocol,
                                    const libusb_endpoint_descriptor* endpoints, std::uint8_t n) {
    libusb_interface_descriptor s{};
    s.bInterfaceNumber = number;
    s.bAlternateSetting = alt;
    s.bInterfaceClass = cls;
    s.bInterfaceSubClass = subclass;
    s.bInterfaceProtocol = protocol;
    s.bNumEndpoints = n;
    s.endpoint = endpoints;
    return s;
}

// Interface 0: HID. Interface 1: USB488 with an interrupt-IN endpoint
// (alternate setting 0), and an alternate setting 1 with a bulk-IN
// endpoint only. Interface 2: USBTMC without an interrupt endpoint.
struct Descriptors {
    std::array<libusb_endpoint_descriptor, 1> hid{
        endpoint(0x84, LIBUSB_TRANSFER_TYPE_INTERRUPT, 8)};
    std::array<libusb_endpoint_descriptor, 4> usb488{
        endpoint(0x01, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS, 64),
        endpoint(0x02, LIBUSB_TRANSFER_TYPE_BULK, 512),
        endpoint(0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 0x0808),  // 2 extra transactions of 8
        endpoint(0x81, LIBUSB_TRANSFER_TYPE_BULK, 512),
    };
    std::array<libusb_endpoint_descriptor, 1> in_only{
        endpoint(0x85, LIBUSB_TRANSFER_TYPE_BULK, 64)};
    std::array<libusb_endpoint_descriptor, 2> plain{
        endpoint(0x86, LIBUSB_TRANSFER_TYPE_BULK, 64),
        endpoint(0x07, LIBUSB_TRANSFER_TYPE_BULK, 64),
    };
    std::array<libusb_interface_descriptor, 1> hid_settings{
        setting(0, 0, 0x03, 0x00, 0x00, hid.data(), 1)};
    std::array<libusb_interface_descriptor, 2> tmc_settings{
        setting(1, 0, 0xFE, 0x03, 0x01, usb488.data(), 4),
        setting(1, 1, 0xFE, 0x03, 0x01, in_only.data(), 1),
    };
    std::array<libusb_interface_descriptor, 1> plain_settings{
        setting(2, 0, 0xFE, 0x03, 0x00, plain.data(), 2)};
    std::array<libusb_interface, 3> interfaces{{
        {hid_settings.data(), 1},
        {tmc_settings.data(), 2},
        {plain_settings.data(), 1},
    }};
    libusb_config_descriptor config{};

    Descriptors() {
        config.bNumInterfaces = 3;
        config.bConfigurationValue = 1;
        config.interface = interfaces.data();
    }
};

TEST(UsbtmcEndpoints, EveryFactOfTheInterfaceFromItsSetting) {
    const Descriptors d;
    sgvisa::UsbDeviceFacts facts;
    facts.vendor_id = 0x4d19;
    facts.serial = "SIM001";
    ASSERT_TRUE(sgvisa::libusb::usbtmc_endpoints(d.config, 1, 0, facts));
    EXPECT_EQ(facts.interface_number, 1);
    EXPECT_EQ(facts.interface_protocol, 1);
    EXPECT_EQ(facts.bulk_out_endpoint, 0x02);
    EXPECT_EQ(facts.bulk_in_endpoint, 0x81);
    EXPECT_EQ(facts.max_packet_size, 512);
    EXPECT_EQ(facts.interrupt_in_endpoint, 0x83);
    EXPECT_EQ(facts.interrupt_packet_size, 8);
    EXPECT_EQ(facts.vendor_id, 0x4d19);  // the rest is left as it was
    EXPECT_EQ(facts.serial, "SIM001");

    // Without an interrupt endpoint, the earlier interface's is not kept.
    ASSERT_TRUE(sgvisa::libusb::usbtmc_endpoints(d.config, 2, 0, facts));
    EXPECT_EQ(facts.interface_number, 2);
    EXPECT_EQ(facts.interface_protocol, 0);
    EXPECT_EQ(facts.bulk_out_endpoint, 0x07);
    EXPECT_EQ(facts.bulk_in_endpoint, 0x86);
    EXPECT_EQ(facts.max_packet_size, 64);
    EXPECT_EQ(facts.interrupt_in_endpoint, 0);
    EXPECT_EQ(facts.interrupt_packet_size, 0);
}

TEST(UsbtmcEndpoints, RejectsWhatIsNotAUsableUsbtmcSetting) {
    const Descriptors d;
    sgvisa::UsbDeviceFacts facts;
    facts.bulk_in_endpoint = 0x99;  // untouched by a rejection
    EXPECT_FALSE(sgvisa::libusb::usbtmc_endpoints(d.config, 0, 0, facts));  // HID
    EXPECT_FALSE(sgvisa::libusb::usbtmc_endpoints(d.config, 1, 1, facts));  // bulk-IN only
    EXPECT_FALSE(sgvisa::libusb::usbtmc_endpoints(d.config, 1, 2, facts));  // no such setting
    EXPECT_FALSE(sgvisa::libusb::usbtmc_endpoints(d.config, 3, 0, facts));  // no such interface
    EXPECT_EQ(facts.bulk_in_endpoint, 0x99);
}

}  // namespace
}  // namespace sgtest
