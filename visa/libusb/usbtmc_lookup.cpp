#include "usbtmc_lookup.h"

namespace sgvisa {

std::vector<UsbtmcInterfaceInfo> interfaces_named(const std::vector<UsbtmcInterfaceInfo>& all,
                                                  const UsbResourceName& name) {
    std::vector<UsbtmcInterfaceInfo> chosen;
    const std::string* last_device = nullptr;
    for (const UsbtmcInterfaceInfo& iface : all) {
        if (iface.vendor_id != name.vendor_id || iface.product_id != name.product_id ||
            !serial_equal(iface.serial, name.serial))
            continue;
        if (name.interface_number >= 0) {
            if (iface.interface_number == name.interface_number)
                chosen.push_back(iface);
            continue;
        }
        // The scan lists a device's interfaces together, lowest number first.
        if (!last_device || *last_device != iface.device) {
            chosen.push_back(iface);
            last_device = &iface.device;
        }
    }
    return chosen;
}

std::vector<UsbResourceName> resource_names_of(const std::vector<UsbtmcInterfaceInfo>& all) {
    std::vector<UsbResourceName> names;
    for (const UsbtmcInterfaceInfo& iface : all) {
        UsbResourceName name;
        name.vendor_id = iface.vendor_id;
        name.product_id = iface.product_id;
        name.serial = iface.serial;
        name.interface_number = iface.interface_number;
        // Listed only when the name reads back as itself.
        UsbResourceName parsed;
        if (parse_usb_resource_name(canonical_name(name), parsed) == VI_SUCCESS)
            names.push_back(std::move(name));
    }
    return names;
}

}  // namespace sgvisa
