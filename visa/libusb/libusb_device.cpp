#include "libusb_device.h"

#include <unistd.h>

#include <cstdint>

#include "libusb/libusb_library.h"
#include "libusb/usb_device_node.h"
#include "proto/usbtmc.h"
#include "transport/process_descriptors.h"

namespace sgvisa::libusb {

ViStatus LibusbDevice::open(const LibusbRuntime& runtime, const std::string& node_root,
                            const UsbtmcInterfaceInfo& iface, std::unique_ptr<LibusbDevice>& out) {
    const std::string path = usb_device_node_path(node_root, iface.bus, iface.address);
    int fd = -1;
    const ViStatus st = open_usb_device_node(path, fd);
    if (st != VI_SUCCESS)
        return st;
    std::unique_ptr<LibusbDevice> device(new LibusbDevice(runtime, fd, path));

    // libusb reads the descriptors the kernel keeps from the descriptor and
    // asks the device for its configuration number (one control request,
    // bounded by libusb at 1 s). It never closes the descriptor.
    const LibusbApi& api = runtime.api;
    const int r = api.wrap_sys_device(runtime.context, static_cast<intptr_t>(fd), &device->handle_);
    if (r != LIBUSB_SUCCESS) {
        // Not a USB device node after all, or the device went away.
        device->handle_ = nullptr;
        if (r == LIBUSB_ERROR_NO_MEM || r == LIBUSB_ERROR_ACCESS)
            return status_from_libusb(r);
        return VI_ERROR_RSRC_NFOUND;
    }

    libusb_device* dev = api.get_device(device->handle_);
    libusb_device_descriptor descriptor{};
    if (api.get_device_descriptor(dev, &descriptor) != LIBUSB_SUCCESS ||
        descriptor.idVendor != iface.vendor_id || descriptor.idProduct != iface.product_id)
        return VI_ERROR_RSRC_NFOUND;  // replugged: the node is another device's now

    libusb_config_descriptor* config = nullptr;
    if (api.get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS)
        return VI_ERROR_RSRC_NFOUND;
    UsbDeviceFacts& facts = device->facts_;
    facts.vendor_id = iface.vendor_id;
    facts.product_id = iface.product_id;
    facts.serial = iface.serial;
    facts.manufacturer = iface.manufacturer;
    facts.product = iface.product;
    const bool usable = usbtmc_endpoints(*config, iface.interface_number, iface.alt_setting, facts);
    api.free_config_descriptor(config);
    if (!usable)
        return VI_ERROR_RSRC_NFOUND;
    out = std::move(device);
    return VI_SUCCESS;
}

LibusbDevice::~LibusbDevice() {
    if (handle_)
        runtime_.api.close(handle_);
    close_process_descriptor(fd_);
}

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

}  // namespace sgvisa::libusb
