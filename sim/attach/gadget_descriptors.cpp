#include "gadget_descriptors.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include "device/usbtmc_device.h"
#include "proto/usbtmc.h"

namespace sgsim::gadget {
namespace {

namespace tmc = sgproto::usbtmc;

constexpr std::size_t kInterfaceDescriptorSize = USB_DT_INTERFACE_SIZE;  // 9
constexpr std::size_t kEndpointDescriptorSize = USB_DT_ENDPOINT_SIZE;    // 7
constexpr std::uint8_t kInterfaceStringIndex = 1;
constexpr std::uint16_t kLanguageUsEnglish = 0x0409;

void put_le16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put_le16(out, static_cast<std::uint16_t>(v));
    put_le16(out, static_cast<std::uint16_t>(v >> 16));
}

void set_le32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_interface(std::vector<std::uint8_t>& out, std::uint8_t endpoints) {
    out.push_back(kInterfaceDescriptorSize);
    out.push_back(USB_DT_INTERFACE);
    out.push_back(UsbtmcDevice::kInterfaceNumber);
    out.push_back(0);  // bAlternateSetting
    out.push_back(endpoints);
    out.push_back(tmc::kInterfaceClass);
    out.push_back(tmc::kInterfaceSubclass);
    out.push_back(tmc::kProtocolUsb488);
    out.push_back(kInterfaceStringIndex);
}

void put_bulk_endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint16_t packet) {
    out.push_back(kEndpointDescriptorSize);
    out.push_back(USB_DT_ENDPOINT);
    out.push_back(address);
    out.push_back(USB_ENDPOINT_XFER_BULK);
    put_le16(out, packet);
    out.push_back(0);  // bInterval: bulk endpoints never NAK-limit here
}

void put_interrupt_endpoint(std::vector<std::uint8_t>& out, std::uint8_t interval) {
    out.push_back(kEndpointDescriptorSize);
    out.push_back(USB_DT_ENDPOINT);
    out.push_back(UsbtmcDevice::kInterruptInEndpoint);
    out.push_back(USB_ENDPOINT_XFER_INT);
    put_le16(out, UsbtmcDevice::kInterruptInPacketSize);
    out.push_back(interval);
}

// The descriptors of one speed: the interface and its endpoints.
std::uint32_t descriptors_per_speed(bool interrupt_in) {
    return interrupt_in ? 4 : 3;
}

void put_speed(std::vector<std::uint8_t>& out, std::uint16_t packet, std::uint8_t interval,
               bool interrupt_in) {
    put_interface(out, static_cast<std::uint8_t>(descriptors_per_speed(interrupt_in) - 1));
    // The order fixes the FunctionFS file numbers: ep1 OUT, ep2 IN, ep3
    // interrupt-IN.
    put_bulk_endpoint(out, UsbtmcDevice::kBulkOutEndpoint, packet);
    put_bulk_endpoint(out, UsbtmcDevice::kBulkInEndpoint, packet);
    if (interrupt_in)
        put_interrupt_endpoint(out, interval);
}

}  // namespace

std::vector<std::uint8_t> descriptors_blob(bool interrupt_in) {
    std::vector<std::uint8_t> out;
    put_le32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put_le32(out, 0);  // length, set below
    put_le32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    put_le32(out, descriptors_per_speed(interrupt_in));  // fs_count
    put_le32(out, descriptors_per_speed(interrupt_in));  // hs_count
    put_speed(out, kFullSpeedPacket, kFullSpeedInterval, interrupt_in);
    put_speed(out, kHighSpeedPacket, kHighSpeedInterval, interrupt_in);
    set_le32(out, 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

std::vector<std::uint8_t> strings_blob(std::string_view interface_name) {
    std::vector<std::uint8_t> out;
    put_le32(out, FUNCTIONFS_STRINGS_MAGIC);
    put_le32(out, 0);  // length, set below
    put_le32(out, 1);  // str_count
    put_le32(out, 1);  // lang_count
    put_le16(out, kLanguageUsEnglish);
    for (const char c : interface_name) {
        if (c != '\0')
            out.push_back(static_cast<std::uint8_t>(c));
    }
    out.push_back(0);
    set_le32(out, 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

std::uint8_t endpoint_address(unsigned index, bool interrupt_in) {
    switch (index) {
        case kOutEndpointIndex:
            return UsbtmcDevice::kBulkOutEndpoint;
        case kInEndpointIndex:
            return UsbtmcDevice::kBulkInEndpoint;
        case kInterruptEndpointIndex:
            return interrupt_in ? UsbtmcDevice::kInterruptInEndpoint : 0;
        default:
            return 0;
    }
}

}  // namespace sgsim::gadget
