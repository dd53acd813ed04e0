// The simulator's local bus opener: a simulated instrument reached through
// its socket in the user's bus directory.
#pragma once

#include <memory>
#include <vector>

#include "transport.h"
#include "usb_resource_name.h"

namespace sgvisa {

// VI_ERROR_RSRC_NFOUND when no simulated device matches `name`. A TransportOpener.
ViStatus open_localbus_transport(const UsbResourceName& name, Deadline deadline,
                                 std::unique_ptr<Transport>& out);

// Appends the simulated instruments on the bus now. A ResourceLister.
void list_localbus_resources(Deadline deadline, std::vector<UsbResourceName>& out);

}  // namespace sgvisa
