// Every USBTMC instrument on this machine: on USB (from sysfs, no USB
// traffic) and on the local bus (each simulator's HELLO), with who it says
// it is, where it is, which driver holds it and whether this user may open
// it. Nothing is opened and no instrument is talked to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instrument_access.h"
#include "system_paths.h"

namespace sgvisa_tool {

struct ListedInstrument {
    std::string resource;  // the VISA resource name; "" when it cannot have one
    std::string manufacturer;
    std::string model;
    std::string serial;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    unsigned interface_number = 0;
    bool usb488 = false;  // bInterfaceProtocol 1
    bool on_usb = false;  // false: the local bus
    unsigned usb_bus = 0;
    unsigned usb_device = 0;
    std::string device_node;  // USB: /dev/bus/usb/BBB/DDD
    std::string socket;       // local bus: the simulator's socket
    std::string driver;       // USB: the driver bound to the interface, "" when none
    Access access;
};

// The USB instruments under `paths`, then those on the local bus (when
// `local_bus`), each in its bus's order. Waits until `deadline` at most.
std::vector<ListedInstrument> list_instruments(const SystemPaths& paths, sgvisa::Deadline deadline,
                                               bool local_bus = true);

}  // namespace sgvisa_tool
