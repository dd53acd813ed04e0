#include "usbtmc_endpoints.h"

#include "usbtmc.h"

namespace sgvisa {
namespace {

const libusb_interface_descriptor* find_setting(const libusb_config_descriptor& config,
                                                std::uint8_t number, std::uint8_t alt) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& iface = config.interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = iface.altsetting[a];
            if (setting.bInterfaceNumber == number && setting.bAlternateSetting == alt)
                return &setting;
        }
    }
    return nullptr;
}

std::uint16_t packet_size(const libusb_endpoint_descriptor& ep) {
    return static_cast<std::uint16_t>(ep.wMaxPacketSize & 0x7FF);
}

}  // namespace

bool usbtmc_endpoints(const libusb_config_descriptor& config, std::uint8_t interface_number,
                      std::uint8_t alt, UsbDeviceFacts& facts) {
    const libusb_interface_descriptor* setting = find_setting(config, interface_number, alt);
    if (!setting || setting->bInterfaceClass != sgproto::usbtmc::kInterfaceClass ||
        setting->bInterfaceSubClass != sgproto::usbtmc::kInterfaceSubclass)
        return false;
    UsbDeviceFacts found = facts;
    found.bulk_out_endpoint = 0;
    found.bulk_in_endpoint = 0;
    found.max_packet_size = 0;
    found.interrupt_in_endpoint = 0;
    found.interrupt_packet_size = 0;
    for (int e = 0; e < setting->bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = setting->endpoint[e];
        const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
        switch (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) {
            case LIBUSB_TRANSFER_TYPE_BULK:
                if (in && found.bulk_in_endpoint == 0) {
                    found.bulk_in_endpoint = ep.bEndpointAddress;
                    found.max_packet_size = packet_size(ep);
                } else if (!in && found.bulk_out_endpoint == 0) {
                    found.bulk_out_endpoint = ep.bEndpointAddress;
                }
                break;
            case LIBUSB_TRANSFER_TYPE_INTERRUPT:
                if (in && found.interrupt_in_endpoint == 0) {
                    found.interrupt_in_endpoint = ep.bEndpointAddress;
                    found.interrupt_packet_size = packet_size(ep);
                }
                break;
            default:
                break;
        }
    }
    if (found.bulk_in_endpoint == 0 || found.bulk_out_endpoint == 0 || found.max_packet_size == 0)
        return false;
    found.interface_number = interface_number;
    found.interface_protocol = setting->bInterfaceProtocol;
    facts = found;
    return true;
}

}  // namespace sgvisa
