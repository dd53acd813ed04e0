#include "libusb_link.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <climits>

#include "libusb_context.h"
#include "libusb_interface_claim.h"

namespace sgvisa {
namespace {

// libusb timeouts count milliseconds and 0 means "forever": a deadline that
// has passed gives false (no transfer is started), any other at least 1 ms.
bool libusb_timeout(Deadline deadline, unsigned& ms) {
    const int left = ms_until(deadline);
    if (left <= 0)
        return false;
    ms = static_cast<unsigned>(left);
    return true;
}

int length_of(std::size_t n) {
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

class LibusbLink final : public UsbLink {
  public:
    explicit LibusbLink(const FoundUsbtmcDevice& device) : device_(device) {
        facts_.vendor_id = device.vendor_id;
        facts_.product_id = device.product_id;
        facts_.serial = device.serial;
        facts_.interface_protocol = device.interface_protocol;
        facts_.interface_number = device.interface_number;
        facts_.bulk_out_endpoint = device.bulk_out_endpoint;
        facts_.bulk_in_endpoint = device.bulk_in_endpoint;
        facts_.max_packet_size = device.max_packet_size;
    }

    ~LibusbLink() override {
        if (!lost_ && (claimed_ || detached_))
            release_usbtmc_interface(device_, detached_);
        libusb_close(device_.handle);
    }

    ViStatus acquire(Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (claimed_)
            return VI_SUCCESS;
        bool detached = false;
        const ViStatus st = claim_usbtmc_interface(device_, deadline, detached);
        detached_ = detached_ || detached;
        if (st == VI_ERROR_RSRC_LOCKED)
            return VI_ERROR_RSRC_BUSY;
        if (st != VI_SUCCESS)
            return failure_status(st);
        claimed_ = true;
        return VI_SUCCESS;
    }

    // The kernel lets one process hold the interface: it is given back after
    // each operation (the kernel driver stays detached until the link closes).
    void relinquish() override {
        if (claimed_ && !lost_)
            libusb_release_interface(device_.handle, device_.interface_number);
        claimed_ = false;
    }

    LibusbLink(const LibusbLink&) = delete;
    LibusbLink& operator=(const LibusbLink&) = delete;

    ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline deadline) override {
        unsigned ms = 0;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!libusb_timeout(deadline, ms))
            return VI_ERROR_TMO;
        int sent = 0;
        // libusb takes a non-const buffer for both directions; OUT only reads it.
        const int r = libusb_bulk_transfer(device_.handle, device_.bulk_out_endpoint,
                                           const_cast<std::uint8_t*>(data.data()),
                                           length_of(data.size()), &sent, ms);
        if (r != LIBUSB_SUCCESS)
            return bulk_failure(r, device_.bulk_out_endpoint);
        return static_cast<std::size_t>(sent) == data.size() ? VI_SUCCESS : VI_ERROR_IO;
    }

    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        got = 0;
        unsigned ms = 0;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!libusb_timeout(deadline, ms))
            return VI_ERROR_TMO;
        int received = 0;
        const int r = libusb_bulk_transfer(device_.handle, device_.bulk_in_endpoint, buf.data(),
                                           length_of(buf.size()), &received, ms);
        if (r != LIBUSB_SUCCESS)
            return bulk_failure(r, device_.bulk_in_endpoint);
        got = static_cast<std::size_t>(received);
        return VI_SUCCESS;
    }

    ViStatus control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::span<std::uint8_t> buf, std::size_t& got,
                        Deadline deadline) override {
        got = 0;
        unsigned ms = 0;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!libusb_timeout(deadline, ms))
            return VI_ERROR_TMO;
        const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(buf.size(), 0xFFFF));
        const int r = libusb_control_transfer(device_.handle, request_type, request, value, index,
                                              buf.data(), length, ms);
        if (r < 0)
            return failure(r);  // LIBUSB_ERROR_PIPE: the device stalled the request
        got = static_cast<std::size_t>(r);
        return VI_SUCCESS;
    }

    ViStatus clear_halt(std::uint8_t endpoint, Deadline deadline) override {
        unsigned ms = 0;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!libusb_timeout(deadline, ms))
            return VI_ERROR_TMO;
        const int r = libusb_clear_halt(device_.handle, endpoint);
        return r == LIBUSB_SUCCESS ? VI_SUCCESS : failure(r);
    }

    const UsbDeviceFacts& facts() const override { return facts_; }

  private:
    ViStatus failure(int r) {
        if (r == LIBUSB_ERROR_NO_DEVICE)
            lost_ = true;
        return status_from_libusb(r);
    }

    // A stalled bulk endpoint is cleared so that the next transfer can pass.
    ViStatus bulk_failure(int r, std::uint8_t endpoint) {
        if (r == LIBUSB_ERROR_PIPE) {
            if (libusb_clear_halt(device_.handle, endpoint) == LIBUSB_ERROR_NO_DEVICE) {
                lost_ = true;
                return VI_ERROR_CONN_LOST;
            }
            return VI_ERROR_IO;
        }
        return failure(r);
    }

    ViStatus failure_status(ViStatus st) {
        if (st == VI_ERROR_CONN_LOST)
            lost_ = true;
        return st;
    }

    FoundUsbtmcDevice device_;
    UsbDeviceFacts facts_;
    bool claimed_ = false;
    bool detached_ = false;
    std::atomic<bool> lost_{false};
};

}  // namespace

std::unique_ptr<UsbLink> make_libusb_link(const FoundUsbtmcDevice& device) {
    return std::make_unique<LibusbLink>(device);
}

}  // namespace sgvisa
