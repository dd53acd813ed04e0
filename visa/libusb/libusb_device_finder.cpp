#include "libusb_device_finder.h"

#include <libusb.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string_view>

#include "usbtmc.h"

namespace sgvisa {
namespace {

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
struct ConfigDeleter {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

// The active configuration's descriptor, or the first one when the device is
// not configured.
ConfigPtr configuration_of(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) == LIBUSB_SUCCESS)
        return ConfigPtr(config);
    if (libusb_get_config_descriptor(device, 0, &config) == LIBUSB_SUCCESS)
        return ConfigPtr(config);
    return nullptr;
}

bool is_usbtmc(const libusb_interface_descriptor& alt) {
    return alt.bInterfaceClass == sgproto::usbtmc::kInterfaceClass &&
           alt.bInterfaceSubClass == sgproto::usbtmc::kInterfaceSubclass;
}

// Fills the endpoint facts from `alt`; false when it lacks a bulk pair.
bool take_endpoints(const libusb_interface_descriptor& alt, FoundUsbtmcDevice& out) {
    out.bulk_in_endpoint = 0;
    out.bulk_out_endpoint = 0;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
            if (out.bulk_in_endpoint == 0) {
                out.bulk_in_endpoint = ep.bEndpointAddress;
                out.max_packet_size = static_cast<std::uint16_t>(ep.wMaxPacketSize & 0x7FF);
            }
        } else if (out.bulk_out_endpoint == 0) {
            out.bulk_out_endpoint = ep.bEndpointAddress;
        }
    }
    return out.bulk_in_endpoint != 0 && out.bulk_out_endpoint != 0 && out.max_packet_size != 0;
}

// Picks the USBTMC interface: the one numbered `wanted` if it is one, else
// the first. False when the configuration has none.
bool pick_interface(const libusb_config_descriptor& config, int wanted, FoundUsbtmcDevice& out) {
    const libusb_interface_descriptor* chosen = nullptr;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& iface = config.interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = iface.altsetting[a];
            if (!is_usbtmc(alt))
                continue;
            if (alt.bInterfaceNumber == wanted) {
                chosen = &alt;
                break;
            }
            if (!chosen)
                chosen = &alt;
        }
        if (chosen && chosen->bInterfaceNumber == wanted)
            break;
    }
    if (!chosen || !take_endpoints(*chosen, out))
        return false;
    out.configuration = config.bConfigurationValue;
    out.interface_number = chosen->bInterfaceNumber;
    out.alt_setting = chosen->bAlternateSetting;
    out.interface_protocol = chosen->bInterfaceProtocol;
    return true;
}

// True when the kernel's USB/IP host driver holds the device: it is exported
// to another machine, which uses it there; this machine must not. Its sysfs
// name is BUS-PORT.PORT...
bool exported_over_usbip(libusb_device* device) {
    std::array<std::uint8_t, 8> ports{};
    const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    if (depth <= 0)
        return false;
    std::array<char, 96> path{};
    int used = std::snprintf(path.data(), path.size(), "/sys/bus/usb/devices/%u-%u",
                             libusb_get_bus_number(device), ports[0]);
    for (int i = 1; i < depth; ++i)
        used += std::snprintf(path.data() + used, path.size() - static_cast<std::size_t>(used),
                              ".%u", ports[static_cast<std::size_t>(i)]);
    std::snprintf(path.data() + used, path.size() - static_cast<std::size_t>(used), "/driver");
    std::array<char, 256> target{};
    const ssize_t n = readlink(path.data(), target.data(), target.size() - 1);
    if (n <= 0)
        return false;
    const std::string_view driver(target.data(), static_cast<std::size_t>(n));
    return driver.ends_with("/usbip-host");
}

bool serial_matches(libusb_device_handle* handle, std::uint8_t index, std::string_view wanted) {
    if (index == 0)
        return wanted.empty();
    std::array<unsigned char, 256> text{};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text.data(),
                                                     static_cast<int>(text.size()));
    if (n < 0)
        return false;
    const std::string_view serial(reinterpret_cast<const char*>(text.data()),
                                  static_cast<std::size_t>(n));
    return serial_equal(serial, wanted);
}

}  // namespace

ViStatus find_usbtmc_device(libusb_context* context, const UsbResourceName& name,
                            FoundUsbtmcDevice& out) {
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(context, &raw);
    if (n < 0)
        return VI_ERROR_RSRC_NFOUND;
    const std::unique_ptr<libusb_device*, DeviceListDeleter> list(raw);

    bool denied = false;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device* device = raw[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
            continue;
        if (descriptor.idVendor != name.vendor_id || descriptor.idProduct != name.product_id)
            continue;
        if (exported_over_usbip(device))
            continue;

        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(device, &handle);
        if (opened == LIBUSB_ERROR_ACCESS) {
            denied = true;
            continue;
        }
        if (opened != LIBUSB_SUCCESS)
            continue;

        FoundUsbtmcDevice found;
        const ConfigPtr config = configuration_of(device);
        if (!serial_matches(handle, descriptor.iSerialNumber, name.serial) || !config ||
            !pick_interface(*config, name.interface_number, found)) {
            libusb_close(handle);
            continue;
        }
        found.handle = handle;
        found.vendor_id = descriptor.idVendor;
        found.product_id = descriptor.idProduct;
        found.serial = name.serial;
        found.bus = libusb_get_bus_number(device);
        found.address = libusb_get_device_address(device);
        out = found;
        return VI_SUCCESS;
    }
    return denied ? VI_ERROR_NPERMISSION : VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa
