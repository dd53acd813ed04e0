#include "libusb_interface_claim.h"

#include <memory>

#include "libusb_status.h"
#include "node_close_watch.h"

namespace sgvisa {
namespace {

// Kernel drivers detached in one claim at most: one that comes back each
// time (a rule binding it again) is not fought forever.
constexpr int kMaxDetaches = 3;

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
            else if (d != LIBUSB_ERROR_NOT_FOUND)  // NOT_FOUND: it let go by itself
                return status_from_libusb(d);
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

}  // namespace sgvisa
