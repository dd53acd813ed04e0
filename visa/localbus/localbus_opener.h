// The simulator's local bus opener: a simulated instrument reached through
// its socket in the user's bus directory.
#pragma once

#include <memory>

#include "transport.h"

namespace sgvisa {

// VI_ERROR_RSRC_NFOUND when no simulated device matches `name`. A TransportOpener.
ViStatus open_localbus_transport(const UsbResourceName& name, Deadline deadline,
                                 std::unique_ptr<Transport>& out);

}  // namespace sgvisa
