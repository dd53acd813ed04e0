// The libusb backend without hardware: an instrument that is not there is
// "not found", promptly, whether or not this machine has USB at all.
#include <gtest/gtest.h>

#include <chrono>

#include "libusb/libusb_opener.h"

namespace sgtest {
namespace {

TEST(LibusbOpen, AbsentInstrumentIsNotFoundPromptly) {
    const struct {
        std::uint16_t vendor, product;
        const char* serial;
    } absent[] = {
        {0x4d19, 0x0040, "NO-SUCH-SERIAL-7f3a"},  // the generator's IDs, a serial nobody has
        {0xFFFE, 0xFFFD, "X"},                    // IDs nobody uses
    };
    for (const auto& a : absent) {
        sgvisa::UsbResourceName name;
        name.vendor_id = a.vendor;
        name.product_id = a.product;
        name.serial = a.serial;
        name.interface_number = 0;
        std::unique_ptr<sgvisa::Transport> transport;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(
            sgvisa::libusb::open_libusb_transport(name, sgvisa::deadline_after_ms(5000), transport),
            VI_ERROR_RSRC_NFOUND)
            << a.serial;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3))
            << "not found must not wait for the open timeout";
        EXPECT_FALSE(transport);
    }
}

}  // namespace
}  // namespace sgtest
