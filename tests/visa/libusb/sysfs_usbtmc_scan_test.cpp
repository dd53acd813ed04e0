// Finding USBTMC instruments in sysfs, against a fake tree: which
// interfaces count, what is read of them, which devices are left alone, and
// how resource names pick and list them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "libusb/sysfs_usbtmc_scan.h"

namespace sgtest {
namespace {

using sgvisa::libusb::UsbtmcInterfaceInfo;

const auto kLater = [] { return sgvisa::Clock::now() + std::chrono::seconds(10); };

// Two instruments, one with two USBTMC interfaces among others and a second
// configuration; an exported device; a DFU interface (class 0xFE, other
// subclass); an unconfigured device; a root hub; a device without a
// device-level driver.
void populate(FakeSysfs& sys) {
    sys.device("1-1", {{"idVendor", "4d19"},
                       {"idProduct", "0040"},
                       {"serial", "SIM001"},
                       {"manufacturer", "Simulated Signal Sources"},
                       {"product", "SG-4040 simulated signal generator"},
                       {"busnum", "1"},
                       {"devnum", "5"},
                       {"bConfigurationValue", "1"}});
    sys.usbtmc_interface("1-1:1.0", "00", "01");
    sys.other_interface("1-1:1.1", "01", "03", "00");  // HID
    sys.usbtmc_interface("1-1:1.2", "02", "00");
    sys.usbtmc_interface("1-1:2.0", "00", "01");  // configuration 2 is not the active one

    sys.configured_device("2-1.4", "1234", "abcd", "xyz9", "2", "17");
    sys.usbtmc_interface("2-1.4:1.0", "00", "00");

    sys.configured_device("1-2", "4d19", "0040", "EXPORTED", "1", "6", "usbip-host");
    sys.usbtmc_interface("1-2:1.0", "00", "01");

    sys.configured_device("1-3", "4d19", "0041", "DFU1", "1", "7");
    sys.other_interface("1-3:1.0", "00", "fe", "01");

    sys.device("3-1", {{"idVendor", "4d19"},
                       {"idProduct", "0040"},
                       {"serial", "UNCONF"},
                       {"busnum", "3"},
                       {"devnum", "2"},
                       {"bConfigurationValue", ""}});

    sys.device("usb1", {{"idVendor", "1d6b"},
                        {"idProduct", "0002"},
                        {"busnum", "1"},
                        {"devnum", "1"},
                        {"bConfigurationValue", "1"}});
    sys.other_interface("1-0:1.0", "00", "09", "00");

    sys.configured_device("4-2", "1209", "0001", "NODRV", "4", "3", "");
    sys.usbtmc_interface("4-2:1.0", "00", "01");
}

TEST(SysfsUsbtmcScan, EveryUsbtmcInterfaceOfActiveConfigurationsWithTheDevicesFacts) {
    FakeSysfs sys;
    populate(sys);
    const std::vector<UsbtmcInterfaceInfo> found =
        sgvisa::libusb::scan_usbtmc_interfaces(sys.root(), kLater());

    ASSERT_EQ(found.size(), 4u);
    const UsbtmcInterfaceInfo& first = found[0];
    EXPECT_EQ(first.device, "1-1");
    EXPECT_EQ(first.vendor_id, 0x4d19);
    EXPECT_EQ(first.product_id, 0x0040);
    EXPECT_EQ(first.serial, "SIM001");
    EXPECT_EQ(first.manufacturer, "Simulated Signal Sources");
    EXPECT_EQ(first.product, "SG-4040 simulated signal generator");
    EXPECT_EQ(first.bus, 1u);
    EXPECT_EQ(first.address, 5u);
    EXPECT_EQ(first.interface_number, 0);
    EXPECT_EQ(first.alt_setting, 0);
    EXPECT_EQ(first.interface_protocol, 1);

    EXPECT_EQ(found[1].device, "1-1");
    EXPECT_EQ(found[1].interface_number, 2);
    EXPECT_EQ(found[1].interface_protocol, 0);

    const UsbtmcInterfaceInfo& other = found[2];
    EXPECT_EQ(other.device, "2-1.4");
    EXPECT_EQ(other.vendor_id, 0x1234);
    EXPECT_EQ(other.product_id, 0xabcd);
    EXPECT_EQ(other.serial, "xyz9");
    EXPECT_EQ(other.manufacturer, "");  // no such attribute
    EXPECT_EQ(other.bus, 2u);
    EXPECT_EQ(other.address, 17u);

    EXPECT_EQ(found[3].device, "4-2");  // no device-level driver is not another driver
}

TEST(SysfsUsbtmcScan, NothingFromAMissingTreeOrPastTheDeadline) {
    FakeSysfs sys;
    populate(sys);
    EXPECT_TRUE(sgvisa::libusb::scan_usbtmc_interfaces(sys.root(), sgvisa::Clock::now()).empty());
    EXPECT_TRUE(sgvisa::libusb::scan_usbtmc_interfaces(sys.root() + "/absent", kLater()).empty());

    // A device whose attributes are malformed is skipped, the rest found.
    FakeSysfs odd;
    odd.configured_device("1-1", "4d19", "0040", "A1", "1", "not-a-number");
    odd.usbtmc_interface("1-1:1.0", "00", "01");
    odd.configured_device("1-2", "4d19", "10000", "A2", "1", "4");  // ID wider than 16 bits
    odd.usbtmc_interface("1-2:1.0", "00", "01");
    odd.configured_device("1-3", "4d19", "0040", "A3", "1", "9");
    odd.usbtmc_interface("1-3:1.0", "zz", "01");
    odd.usbtmc_interface("1-3:1.1", "01", "01");
    const auto found = sgvisa::libusb::scan_usbtmc_interfaces(odd.root(), kLater());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].device, "1-3");
    EXPECT_EQ(found[0].interface_number, 1);
}

TEST(UsbtmcLookup, NamesPickInterfacesAndEveryInterfaceIsNamed) {
    FakeSysfs sys;
    populate(sys);
    // The same instrument twice (as over USB/IP): both are candidates.
    sys.configured_device("5-1", "4d19", "0040", "sim001", "5", "2");
    sys.usbtmc_interface("5-1:1.1", "01", "01");
    const auto all = sgvisa::libusb::scan_usbtmc_interfaces(sys.root(), kLater());

    sgvisa::UsbResourceName name;
    name.vendor_id = 0x4d19;
    name.product_id = 0x0040;
    name.serial = "sim001";  // case does not matter
    auto chosen = sgvisa::libusb::interfaces_named(all, name);
    ASSERT_EQ(chosen.size(), 2u);
    EXPECT_EQ(chosen[0].device, "1-1");
    EXPECT_EQ(chosen[0].interface_number, 0);  // the first USBTMC interface
    EXPECT_EQ(chosen[1].device, "5-1");
    EXPECT_EQ(chosen[1].interface_number, 1);

    name.interface_number = 2;
    chosen = sgvisa::libusb::interfaces_named(all, name);
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen[0].device, "1-1");
    EXPECT_EQ(chosen[0].interface_number, 2);

    name.interface_number = 1;  // HID on 1-1, USBTMC on 5-1
    chosen = sgvisa::libusb::interfaces_named(all, name);
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen[0].device, "5-1");

    name.interface_number = -1;
    name.serial = "EXPORTED";  // held by usbip-host
    EXPECT_TRUE(sgvisa::libusb::interfaces_named(all, name).empty());
    name.serial = "SIM001";
    name.product_id = 0x0041;
    EXPECT_TRUE(sgvisa::libusb::interfaces_named(all, name).empty());

    // Listed: one name per interface, but none for a serial number that a
    // name cannot carry.
    sys.configured_device("6-1", "4d19", "0040", "", "6", "2");
    sys.usbtmc_interface("6-1:1.0", "00", "01");
    sys.configured_device("6-2", "4d19", "0040", "HAS SPACE", "6", "3");
    sys.usbtmc_interface("6-2:1.0", "00", "01");
    std::vector<std::string> listed;
    for (const auto& n : sgvisa::libusb::resource_names_of(
             sgvisa::libusb::scan_usbtmc_interfaces(sys.root(), kLater())))
        listed.push_back(sgvisa::canonical_name(n));
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "USB0::0x4D19::0x0040::SIM001::0::INSTR",
                          "USB0::0x4D19::0x0040::SIM001::2::INSTR",
                          "USB0::0x1234::0xABCD::xyz9::0::INSTR",
                          "USB0::0x1209::0x0001::NODRV::0::INSTR",
                          "USB0::0x4D19::0x0040::sim001::1::INSTR",
                      }));
}

}  // namespace
}  // namespace sgtest
