#include "libusb_interface_claim.h"

#include <libusb.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include "libusb_context.h"

namespace sgvisa {
namespace {

// Longest wait between two claim attempts: a process may release the
// interface without closing the device node, which no inotify event shows.
constexpr int kClaimRetryMs = 250;

// Close events on the device node /dev/bus/usb/BBB/DDD: the usual sign that
// another process let go of the device.
class NodeCloseWatch {
  public:
    NodeCloseWatch(std::uint8_t bus, std::uint8_t address) {
        std::array<char, 40> path{};
        std::snprintf(path.data(), path.size(), "/dev/bus/usb/%03u/%03u", unsigned{bus},
                      unsigned{address});
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 &&
            inotify_add_watch(fd_, path.data(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~NodeCloseWatch() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    NodeCloseWatch(const NodeCloseWatch&) = delete;
    NodeCloseWatch& operator=(const NodeCloseWatch&) = delete;

    // Waits for a close event, at most until `deadline` and kClaimRetryMs.
    void wait(Deadline deadline) {
        pollfd p{fd_, POLLIN, 0};
        const int ms = std::min(ms_until(deadline), kClaimRetryMs);
        // Without a watch (fd -1) poll() only waits out the timeout.
        if (::poll(&p, 1, ms) > 0 && fd_ >= 0) {
            std::array<char, 4096> events;
            while (::read(fd_, events.data(), events.size()) > 0) {
            }
        }
    }

  private:
    int fd_ = -1;
};

ViStatus ensure_configuration(libusb_device_handle* handle, int wanted) {
    int current = 0;
    int r = libusb_get_configuration(handle, &current);
    if (r != LIBUSB_SUCCESS)
        return status_from_libusb(r);
    if (current == wanted)
        return VI_SUCCESS;
    r = libusb_set_configuration(handle, wanted);
    if (r == LIBUSB_ERROR_BUSY)
        return VI_ERROR_RSRC_LOCKED;
    return status_from_libusb(r);
}

ViStatus claim_waiting(const FoundUsbtmcDevice& device, Deadline deadline) {
    std::unique_ptr<NodeCloseWatch> watch;
    for (;;) {
        const int r = libusb_claim_interface(device.handle, device.interface_number);
        if (r == LIBUSB_SUCCESS)
            return VI_SUCCESS;
        if (r != LIBUSB_ERROR_BUSY)
            return status_from_libusb(r);
        if (!watch) {
            // Arm first, then try again: a release between the failed claim
            // and the watch is not missed.
            watch = std::make_unique<NodeCloseWatch>(device.bus, device.address);
            continue;
        }
        if (Clock::now() >= deadline)
            return VI_ERROR_RSRC_LOCKED;
        watch->wait(deadline);
    }
}

}  // namespace

ViStatus claim_usbtmc_interface(const FoundUsbtmcDevice& device, Deadline deadline,
                                bool& detached) {
    detached = false;
    ViStatus st = ensure_configuration(device.handle, device.configuration);
    if (st != VI_SUCCESS)
        return st;

    if (libusb_kernel_driver_active(device.handle, device.interface_number) == 1) {
        const int r = libusb_detach_kernel_driver(device.handle, device.interface_number);
        if (r == LIBUSB_SUCCESS) {
            detached = true;
        } else if (r != LIBUSB_ERROR_NOT_FOUND) {  // NOT_FOUND: it just went away
            return status_from_libusb(r);
        }
    }

    st = claim_waiting(device, deadline);
    if (st == VI_SUCCESS && device.alt_setting != 0) {
        st = status_from_libusb(libusb_set_interface_alt_setting(
            device.handle, device.interface_number, device.alt_setting));
        if (st != VI_SUCCESS)
            libusb_release_interface(device.handle, device.interface_number);
    }
    if (st != VI_SUCCESS && detached) {
        libusb_attach_kernel_driver(device.handle, device.interface_number);
        detached = false;
    }
    return st;
}

void release_usbtmc_interface(const FoundUsbtmcDevice& device, bool reattach) {
    libusb_release_interface(device.handle, device.interface_number);
    if (reattach)
        libusb_attach_kernel_driver(device.handle, device.interface_number);
}

}  // namespace sgvisa
