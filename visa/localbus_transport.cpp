// Placeholder until the simulator's local bus exists: finds nothing.
#include "transport.h"

namespace sgvisa {

ViStatus open_localbus_transport(const UsbResourceName&, Deadline, std::unique_ptr<Transport>&) {
    return VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa
