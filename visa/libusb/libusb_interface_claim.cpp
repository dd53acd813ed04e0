#include "libusb_interface_claim.h"

#include <memory>
#include <string>

#include "libusb/libusb_library.h"
#include "libusb/usb_device_node.h"
#include "trace/trace_reason.h"

namespace sgvisa::libusb {
namespace {

// Kernel drivers detached in one claim at most: one that comes back each
// time (a rule binding it again) is not fought forever.
constexpr int kMaxDetaches = 3;

std::string detach_reason(const LibusbDevice& device, int number, int error) {
    const char* what = error == LIBUSB_ERROR_ACCESS          ? "access denied"
                       : error == LIBUSB_ERROR_NOT_SUPPORTED ? "not supported here"
                       : error == LIBUSB_ERROR_NO_DEVICE     ? "the device went away"
                                                             : "failed";
    return "the kernel driver bound to interface " + std::to_string(number) + " of " +
           device.node_path() + " could not be detached (libusb error " + std::to_string(error) +
           ", " + what +
           "): unbind it (echo the interface's sysfs name into "
           "/sys/bus/usb/drivers/usbtmc/unbind as root) or keep it off with a udev rule, then "
           "open again";
}

}  // namespace

ViStatus claim_usbtmc_interface(const LibusbDevice& device, Deadline deadline, int cancel_fd,
                                bool& detached) {
    const LibusbApi& api = device.api();
    const int number = device.facts().interface_number;
    std::unique_ptr<NodeCloseWatch> watch;
    int detaches = 0;
    for (;;) {
        const int r = api.claim_interface(device.handle(), number);
        if (r == LIBUSB_SUCCESS)
            return VI_SUCCESS;
        if (r != LIBUSB_ERROR_BUSY)
            return status_from_libusb(r);
        // Busy: a kernel driver, or another process through its node.
        if (detaches < kMaxDetaches && api.kernel_driver_active(device.handle(), number) == 1) {
            ++detaches;
            const int d = api.detach_kernel_driver(device.handle(), number);
            if (d == LIBUSB_SUCCESS)
                detached = true;
            else if (d != LIBUSB_ERROR_NOT_FOUND) {  // NOT_FOUND: it let go by itself
                trace::note_reason([&] { return detach_reason(device, number, d); });
                return status_from_libusb(d);
            }
            continue;
        }
        if (!watch) {
            // Armed before the next attempt, so a close in between is seen.
            watch = std::make_unique<NodeCloseWatch>(device.node_path());
            continue;
        }
        switch (watch->wait(deadline, cancel_fd)) {
            case NodeCloseWatch::Wake::closed:
                break;
            case NodeCloseWatch::Wake::cancelled:
                return VI_ERROR_ABORT;
            case NodeCloseWatch::Wake::deadline: {
                const int last = api.claim_interface(device.handle(), number);
                if (last == LIBUSB_SUCCESS)
                    return VI_SUCCESS;
                return last == LIBUSB_ERROR_BUSY ? VI_ERROR_RSRC_BUSY : status_from_libusb(last);
            }
        }
    }
}

void release_usbtmc_interface(const LibusbDevice& device, bool claimed, bool reattach) {
    const LibusbApi& api = device.api();
    const int number = device.facts().interface_number;
    if (claimed)
        api.release_interface(device.handle(), number);
    if (reattach)
        api.attach_kernel_driver(device.handle(), number);
}

}  // namespace sgvisa::libusb
