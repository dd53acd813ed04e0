// Placeholder until the USB transport exists: finds nothing.
#include "transport.h"

namespace sgvisa {

ViStatus open_libusb_transport(const UsbResourceName&, Deadline, std::unique_ptr<Transport>&) {
    return VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa
