// From the scanned USBTMC interfaces to resource names and back.
#pragma once

#include <vector>

#include "sysfs_usbtmc_scan.h"
#include "usb_resource_name.h"

namespace sgvisa {

// The interfaces `name` designates, in scan order: of each device with its
// vendor ID, product ID and serial number (compared without regard to
// case), the interface numbered as in `name`, or the device's first USBTMC
// interface when `name` gives no number.
std::vector<UsbtmcInterfaceInfo> interfaces_named(const std::vector<UsbtmcInterfaceInfo>& all,
                                                  const UsbResourceName& name);

// One resource name per interface (board 0, with its interface number),
// leaving out a device whose serial number cannot stand in a resource name
// (none, or one with white space or colons).
std::vector<UsbResourceName> resource_names_of(const std::vector<UsbtmcInterfaceInfo>& all);

}  // namespace sgvisa
