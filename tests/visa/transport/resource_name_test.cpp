#include <gtest/gtest.h>

#include <string>

#include "transport/usb_resource_name.h"

namespace {

using sgvisa::parse_usb_resource_name;
using sgvisa::UsbResourceName;

UsbResourceName parsed(const std::string& text) {
    UsbResourceName name;
    EXPECT_EQ(parse_usb_resource_name(text, name), VI_SUCCESS) << text;
    return name;
}

TEST(ResourceName, FullFormWithInterfaceAndClass) {
    const UsbResourceName n = parsed("USB0::0x4d19::0x0040::SN123::0::INSTR");
    EXPECT_EQ(n.board, 0u);
    EXPECT_EQ(n.vendor_id, 0x4d19);
    EXPECT_EQ(n.product_id, 0x0040);
    EXPECT_EQ(n.serial, "SN123");
    EXPECT_EQ(n.interface_number, 0);
}

TEST(ResourceName, OptionalPartsAndBoardNumbers) {
    UsbResourceName n = parsed("USB::0x4d19::0x0040::SN123");
    EXPECT_EQ(n.board, 0u);
    EXPECT_EQ(n.interface_number, -1);
    n = parsed("USB12::0x4d19::0x0040::SN123::INSTR");
    EXPECT_EQ(n.board, 12u);
    EXPECT_EQ(n.interface_number, -1);
    n = parsed("USB1::0x4d19::0x0040::SN123::3");
    EXPECT_EQ(n.board, 1u);
    EXPECT_EQ(n.interface_number, 3);
}

TEST(ResourceName, KeywordsAndHexPrefixAreCaseInsensitive) {
    const UsbResourceName n = parsed("usb0::0X4D19::0x004A::abc-Def.1::2::instr");
    EXPECT_EQ(n.vendor_id, 0x4d19);
    EXPECT_EQ(n.product_id, 0x004a);
    EXPECT_EQ(n.serial, "abc-Def.1");  // kept as written
    EXPECT_EQ(n.interface_number, 2);
}

TEST(ResourceName, DecimalIdsAndRangeLimits) {
    UsbResourceName n = parsed("USB0::19737::64::SN::INSTR");
    EXPECT_EQ(n.vendor_id, 19737);
    EXPECT_EQ(n.product_id, 64);
    n = parsed("USB0::65535::0xFFFF::SN::255::INSTR");
    EXPECT_EQ(n.vendor_id, 0xFFFF);
    EXPECT_EQ(n.product_id, 0xFFFF);
    EXPECT_EQ(n.interface_number, 255);
    n = parsed("USB0::0x0004d19::0::SN");  // leading zeros are fine
    EXPECT_EQ(n.vendor_id, 0x4d19);
}

TEST(ResourceName, MalformedNamesAreInvalid) {
    const char* bad[] = {
        "",
        "USB0",
        "USB0::0x4d19::0x0040",                   // missing serial
        "USB0::0x4d19::0x0040::",                 // empty serial
        "USB0::::0x0040::SN::INSTR",              // empty vendor
        "USB0::0x4d19::0x0040::SN::::INSTR",      // stray ::
        "USB0::0x4d19::0x0040::SN::INSTR::",      // trailing ::
        "::USB0::0x4d19::0x0040::SN",             // leading ::
        "USB0::0x4d19::0x0040::SN::0::INSTR::x",  // trailing junk
        "USB0::0x4d19::0x0040::SN::INSTRX",
        "USB0::0x4d19::0x0040::SN::0::1",      // two interface numbers
        "USB0::0x4d19::0x0040::SN::INSTR::0",  // class before interface
        "USB0::0x4d19::0x0040::SN::256",       // interface out of range
        "USB0::0x4d19::0x0040::SN::RAW",
        "USB0::0x10000::0x0040::SN",  // vendor > 16 bits
        "USB0::65536::0x0040::SN",
        "USB0::0x::0x0040::SN",  // no hex digits
        "USB0::0x4g19::0x0040::SN",
        "USB0::abcd::0x0040::SN",  // hex without prefix
        "USB0::-1::0x0040::SN",
        "USB0::+4::0x0040::SN",
        "USB0:::0x4d19::0x0040::SN",  // lone colon
        "USB0::0x4d19::0x0040::S:N",
        "USB0::0x4d19::0x0040::S N",  // white space in serial
        " USB0::0x4d19::0x0040::SN",
        "USB0::0x4d19::0x0040::SN ",
        "USBx::0x4d19::0x0040::SN",
        "USB-1::0x4d19::0x0040::SN",
        "US::0x4d19::0x0040::SN",
        "TCPIP0::192.168.0.1::inst0::INSTR",  // other interface types
        "GPIB0::12::INSTR",
    };
    for (const char* text : bad) {
        UsbResourceName n;
        n.serial = "untouched";
        EXPECT_EQ(parse_usb_resource_name(text, n), VI_ERROR_INV_RSRC_NAME) << '"' << text << '"';
        EXPECT_EQ(n.serial, "untouched") << text;
    }
}

TEST(ResourceName, EmbeddedNulAndOverlongSerialAreInvalid) {
    UsbResourceName n;
    const std::string with_nul("USB0::0x4d19::0x0040::S\0N", 25);
    EXPECT_EQ(parse_usb_resource_name(with_nul, n), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(parse_usb_resource_name("USB0::1::2::" + std::string(126, 'A'), n), VI_SUCCESS);
    EXPECT_EQ(parse_usb_resource_name("USB0::1::2::" + std::string(127, 'A'), n),
              VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(parse_usb_resource_name("USB0::1::2::" + std::string(1000, 'A'), n),
              VI_ERROR_INV_RSRC_NAME);
}

TEST(ResourceName, SerialComparisonFoldsCaseOnly) {
    EXPECT_TRUE(sgvisa::serial_equal("abcXYZ09", "ABCxyz09"));
    EXPECT_FALSE(sgvisa::serial_equal("abc", "abd"));
    EXPECT_FALSE(sgvisa::serial_equal("abc", "abcd"));
    EXPECT_FALSE(sgvisa::serial_equal("a-b", "a_b"));
}

}  // namespace
