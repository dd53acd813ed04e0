#include "async_transfer.h"

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace sgvisa::libusb {

AsyncTransfer::AsyncTransfer(const LibusbRuntime& runtime)
    : runtime_(runtime), transfer_(runtime.api.alloc_transfer(0)) {}

AsyncTransfer::~AsyncTransfer() {
    if (transfer_)
        runtime_.api.free_transfer(transfer_);
}

void LIBUSB_CALL AsyncTransfer::on_complete(libusb_transfer* transfer) {
    auto* self = static_cast<AsyncTransfer*>(transfer->user_data);
    std::atomic_ref<int>(self->completed_).store(1, std::memory_order_release);
}

bool AsyncTransfer::completed() const {
    return std::atomic_ref<int>(const_cast<int&>(completed_)).load(std::memory_order_acquire) != 0;
}

void AsyncTransfer::prepare_bulk_out(libusb_device_handle* handle, std::uint8_t endpoint,
                                     std::span<const std::uint8_t> data) {
    buffer_.assign(data.begin(), data.end());
    control_ = false;
    // A zero timeout: the deadline is the awaiting thread's, not libusb's.
    libusb_fill_bulk_transfer(transfer_, handle, endpoint, buffer_.data(),
                              static_cast<int>(std::min<std::size_t>(buffer_.size(), INT_MAX)),
                              &AsyncTransfer::on_complete, this, 0);
}

void AsyncTransfer::prepare_bulk_in(libusb_device_handle* handle, std::uint8_t endpoint,
                                    std::size_t length) {
    buffer_.resize(std::min<std::size_t>(length, INT_MAX));
    control_ = false;
    libusb_fill_bulk_transfer(transfer_, handle, endpoint, buffer_.data(),
                              static_cast<int>(buffer_.size()), &AsyncTransfer::on_complete, this,
                              0);
}

void AsyncTransfer::prepare_interrupt_in(libusb_device_handle* handle, std::uint8_t endpoint,
                                         std::size_t length) {
    buffer_.resize(std::min<std::size_t>(length, INT_MAX));
    control_ = false;
    libusb_fill_interrupt_transfer(transfer_, handle, endpoint, buffer_.data(),
                                   static_cast<int>(buffer_.size()), &AsyncTransfer::on_complete,
                                   this, 0);
}

void AsyncTransfer::prepare_control(libusb_device_handle* handle, std::uint8_t request_type,
                                    std::uint8_t request, std::uint16_t value, std::uint16_t index,
                                    std::uint16_t length) {
    buffer_.assign(LIBUSB_CONTROL_SETUP_SIZE + length, 0);
    control_ = true;
    libusb_fill_control_setup(buffer_.data(), request_type, request, value, index, length);
    libusb_fill_control_transfer(transfer_, handle, buffer_.data(), &AsyncTransfer::on_complete,
                                 this, 0);
}

void AsyncTransfer::prepare_control_out(libusb_device_handle* handle, std::uint8_t request_type,
                                        std::uint8_t request, std::uint16_t value,
                                        std::uint16_t index, std::span<const std::uint8_t> data) {
    prepare_control(handle, request_type, request, value, index,
                    static_cast<std::uint16_t>(data.size()));
    std::copy(data.begin(), data.end(), buffer_.begin() + LIBUSB_CONTROL_SETUP_SIZE);
}

int AsyncTransfer::submit() {
    completed_ = 0;
    return runtime_.api.submit_transfer(transfer_);
}

bool AsyncTransfer::await(Deadline until, const AsyncTransfer* partner) {
    for (;;) {
        if (completed())
            return true;
        if (partner != nullptr && partner->completed() &&
            partner->status() != LIBUSB_TRANSFER_COMPLETED)
            return false;
        const int ms = ms_until(until);
        if (ms <= 0)
            return false;
        timeval left{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
        // With the event lock this thread polls the context's descriptors;
        // while another thread holds it, this one waits for that thread to
        // finish a round (which may complete this transfer).
        const int r =
            runtime_.api.handle_events_timeout_completed(runtime_.context, &left, &completed_);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED)
            return completed();
    }
}

void AsyncTransfer::cancel() {
    runtime_.api.cancel_transfer(transfer_);
}

libusb_transfer_status AsyncTransfer::status() const {
    return transfer_->status;
}

std::span<const std::uint8_t> AsyncTransfer::received() const {
    const std::size_t offset = control_ ? LIBUSB_CONTROL_SETUP_SIZE : 0;
    return std::span(buffer_).subspan(offset, actual_length());
}

std::size_t AsyncTransfer::actual_length() const {
    const auto n = static_cast<std::size_t>(std::max(transfer_->actual_length, 0));
    const std::size_t room = buffer_.size() - (control_ ? LIBUSB_CONTROL_SETUP_SIZE : 0);
    return std::min(n, room);
}

}  // namespace sgvisa::libusb
