// The simulator's local bus opener: a simulated instrument reached through
// its socket in the user's bus directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.h"
#include "transport/usb_resource_name.h"

namespace sgvisa::localbus {

// VI_ERROR_RSRC_NFOUND when no simulated device matches `name`. A TransportOpener.
ViStatus open_localbus_transport(const UsbResourceName& name, Deadline deadline,
                                 std::unique_ptr<Transport>& out);

// Appends the simulated instruments on the bus now. A ResourceLister.
void list_localbus_resources(Deadline deadline, std::vector<UsbResourceName>& out);

// A simulated instrument as the bus tells of it: its name, and what its
// HELLO says (the strings its USB descriptors would carry).
struct LocalbusDevice {
    UsbResourceName name;
    std::string manufacturer;
    std::string product;
    std::uint8_t interface_protocol = 0;  // 1: USB488
    std::string socket;                   // its socket's path
};

// The simulated instruments that answer on the bus now, in socket name
// order. Each is connected to only for its HELLO, which disturbs no host
// that is using it (no claim is asked for). Waits until `deadline` at most.
std::vector<LocalbusDevice> list_localbus_devices(Deadline deadline);

}  // namespace sgvisa::localbus
