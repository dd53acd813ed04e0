// The USB backend: a USBTMC instrument reached through libusb.
#include <libusb.h>

#include "libusb_context.h"
#include "libusb_device_finder.h"
#include "libusb_interface_claim.h"
#include "libusb_link.h"
#include "libusb_opener.h"
#include "usbtmc_host.h"

namespace sgvisa {

ViStatus open_libusb_transport(const UsbResourceName& name, Deadline deadline,
                               std::unique_ptr<Transport>& out) {
    libusb_context* context = shared_libusb_context();
    if (!context)
        return VI_ERROR_RSRC_NFOUND;  // no USB here at all

    FoundUsbtmcDevice device;
    ViStatus st = find_usbtmc_device(context, name, device);
    if (st != VI_SUCCESS)
        return st;

    return make_usbtmc_transport(make_libusb_link(device), deadline, out);
}

void list_libusb_resources(Deadline /*deadline*/, std::vector<UsbResourceName>& /*out*/) {}

}  // namespace sgvisa
