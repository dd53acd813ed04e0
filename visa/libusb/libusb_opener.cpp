#include "libusb/libusb_opener.h"

#include "libusb/libusb_library.h"
#include "libusb/sysfs_usbtmc_scan.h"
#include "libusb/usb_device_node.h"
#include "libusb_device.h"
#include "libusb_link.h"
#include "quirks/quirk_table.h"
#include "usbtmc/usbtmc_host.h"

namespace sgvisa::libusb {

ViStatus open_libusb_transport(const UsbResourceName& name, Deadline deadline,
                               std::unique_ptr<Transport>& out) {
    const LibusbRuntime* runtime = libusb_runtime();
    if (!runtime)
        return VI_ERROR_RSRC_NFOUND;  // no libusb, or no USB here at all

    bool denied = false;
    for (const UsbtmcInterfaceInfo& iface :
         interfaces_named(scan_usbtmc_interfaces(kSysfsUsbDevices, deadline), name)) {
        std::unique_ptr<LibusbDevice> device;
        const ViStatus st = LibusbDevice::open(*runtime, kUsbDeviceNodes, iface, device);
        if (st == VI_ERROR_NPERMISSION) {
            denied = true;
            continue;
        }
        if (st == VI_ERROR_RSRC_NFOUND)
            continue;  // gone since the scan, or not usable
        if (st != VI_SUCCESS)
            return st;
        std::unique_ptr<usbtmc::UsbLink> link;
        const ViStatus made = make_libusb_link(std::move(device), link);
        if (made != VI_SUCCESS)
            return made;
        const usbtmc::HostQuirks quirks =
            quirks::quirks_for(link->facts().vendor_id, link->facts().product_id);
        return usbtmc::make_usbtmc_transport(std::move(link), out, quirks);
    }
    return denied ? VI_ERROR_NPERMISSION : VI_ERROR_RSRC_NFOUND;
}

void list_libusb_resources(Deadline deadline, std::vector<UsbResourceName>& out) {
    if (!libusb_api())
        return;  // what could not be opened is not listed
    for (UsbResourceName& name :
         resource_names_of(scan_usbtmc_interfaces(kSysfsUsbDevices, deadline)))
        out.push_back(std::move(name));
}

}  // namespace sgvisa::libusb
