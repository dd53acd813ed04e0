// One libusb transfer with a buffer of its own, submitted with
// libusb_submit_transfer and completed by the context's event handling:
// the waiting thread blocks in libusb's own poll (or, while another thread
// handles the context's events, on libusb's event-waiter condition) until
// the transfer completes or the wait's end, with no timer of its own.
//
// Several transfers may be in flight at once (a bulk-OUT and the bulk-IN
// that its answer comes in): one event-handling wait reaps both. Threads: one thread prepares,
// submits and awaits; cancel() may come from any thread while it is in
// flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "libusb/libusb_library.h"
#include "transport/deadline.h"

namespace sgvisa::libusb {

class AsyncTransfer {
  public:
    explicit AsyncTransfer(const LibusbRuntime& runtime);
    // Must not be in flight.
    ~AsyncTransfer();
    AsyncTransfer(const AsyncTransfer&) = delete;
    AsyncTransfer& operator=(const AsyncTransfer&) = delete;

    // False when libusb could not allocate the transfer.
    bool valid() const { return transfer_ != nullptr; }

    // Sets the transfer up, not in flight: a bulk-OUT transfer of `data`, a
    // bulk-IN one of at most `length` bytes, or a control transfer whose data
    // stage (`length` bytes) follows the setup packet.
    void prepare_bulk_out(libusb_device_handle* handle, std::uint8_t endpoint,
                          std::span<const std::uint8_t> data);
    void prepare_bulk_in(libusb_device_handle* handle, std::uint8_t endpoint, std::size_t length);
    void prepare_interrupt_in(libusb_device_handle* handle, std::uint8_t endpoint,
                              std::size_t length);
    void prepare_control(libusb_device_handle* handle, std::uint8_t request_type,
                         std::uint8_t request, std::uint16_t value, std::uint16_t index,
                         std::uint16_t length);
    // A control transfer with the OUT data stage `data` (or none).
    void prepare_control_out(libusb_device_handle* handle, std::uint8_t request_type,
                             std::uint8_t request, std::uint16_t value, std::uint16_t index,
                             std::span<const std::uint8_t> data);

    // libusb_submit_transfer: a libusb error code.
    int submit();

    // Handles the context's events until the transfer completes (true) or
    // `until` passes, or event handling fails (false; it is still in flight).
    // With `partner` (a transfer in flight together with this one) it also
    // ends, false, once that one has completed without success.
    bool await(Deadline until, const AsyncTransfer* partner = nullptr);

    // Completed (its callback has run).
    bool completed() const;

    // From any thread: asks libusb to cancel the transfer; it completes
    // with LIBUSB_TRANSFER_CANCELLED unless it completed first.
    void cancel();

    // After completion.
    libusb_transfer_status status() const;
    // The bytes received (the data stage of a control transfer).
    std::span<const std::uint8_t> received() const;
    // The bytes transferred (data stage only for control transfers).
    std::size_t actual_length() const;

  private:
    static void LIBUSB_CALL on_complete(libusb_transfer* transfer);

    const LibusbRuntime& runtime_;
    libusb_transfer* transfer_;
    std::vector<std::uint8_t> buffer_;
    bool control_ = false;
    // Set by on_complete in whichever thread handles the event; libusb's
    // libusb_handle_events_timeout_completed reads it too.
    int completed_ = 0;
};

}  // namespace sgvisa::libusb
