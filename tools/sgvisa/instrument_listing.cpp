#include "instrument_listing.h"

namespace sgvisa_tool {
namespace {

// The resource name of an interface, "" when its serial number cannot stand in one.
std::string resource_of(std::uint16_t vendor, std::uint16_t product, const std::string& serial,
                        unsigned interface_number) {
    sgvisa::UsbResourceName name;
    name.vendor_id = vendor;
    name.product_id = product;
    name.serial = serial;
    name.interface_number = static_cast<int>(interface_number);
    const std::string text = sgvisa::canonical_name(name);
    sgvisa::UsbResourceName parsed;
    if (serial.empty() || sgvisa::parse_usb_resource_name(text, parsed) != VI_SUCCESS ||
        parsed.serial != serial)
        return {};
    return text;
}

sgvisa::inspect::LockHolders locks_of(std::uint16_t vendor, std::uint16_t product,
                                      const std::string& serial) {
    return sgvisa::inspect::lock_holders(vendor, product, serial);
}

}  // namespace

std::vector<ListedInstrument> list_instruments(const SystemPaths& paths, sgvisa::Deadline deadline,
                                               bool local_bus) {
    std::vector<ListedInstrument> out;
    const std::vector<sgvisa::inspect::UsbInterface> interfaces =
        sgvisa::inspect::usb_interfaces(paths.sysfs_usb_devices, deadline);
    // libusb is loaded only when there is a USB instrument to look at.
    const bool libusb_present = !interfaces.empty() && sgvisa::inspect::libusb_present();
    for (const sgvisa::inspect::UsbInterface& iface : interfaces) {
        ListedInstrument item;
        item.resource =
            resource_of(iface.vendor_id, iface.product_id, iface.serial, iface.interface_number);
        item.manufacturer = iface.manufacturer;
        item.model = iface.product;
        item.serial = iface.serial;
        item.vendor_id = iface.vendor_id;
        item.product_id = iface.product_id;
        item.interface_number = iface.interface_number;
        item.usb488 = iface.interface_protocol == 1;
        item.on_usb = true;
        item.usb_bus = iface.bus;
        item.usb_device = iface.address;
        item.device_node =
            sgvisa::inspect::usb_device_node_path(paths.usb_device_nodes, iface.bus, iface.address);
        item.driver = interface_driver(paths, iface.interface);
        item.access = usb_access(paths, iface, item.driver, libusb_present);
        if (!item.resource.empty())
            apply_locks(paths, locks_of(iface.vendor_id, iface.product_id, iface.serial),
                        item.access);
        out.push_back(std::move(item));
    }
    if (!local_bus)
        return out;
    for (sgvisa::inspect::SimulatedInstrument& device :
         sgvisa::inspect::simulated_instruments(deadline)) {
        ListedInstrument item;
        item.resource = sgvisa::canonical_name(device.name);
        item.manufacturer = std::move(device.manufacturer);
        item.model = std::move(device.product);
        item.serial = device.name.serial;
        item.vendor_id = device.name.vendor_id;
        item.product_id = device.name.product_id;
        item.interface_number = static_cast<unsigned>(device.name.interface_number);
        item.usb488 = device.interface_protocol == 1;
        item.socket = std::move(device.socket);
        apply_locks(paths, locks_of(item.vendor_id, item.product_id, item.serial), item.access);
        out.push_back(std::move(item));
    }
    return out;
}

}  // namespace sgvisa_tool
