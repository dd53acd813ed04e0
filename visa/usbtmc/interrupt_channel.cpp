#include "interrupt_channel.h"

#include <array>
#include <system_error>
#include <utility>

#include "usb488_status.h"

namespace sgvisa::usbtmc {
namespace {

// Service requests kept from a read that was being stopped; as many as a
// device keeps for a host that does not read.
constexpr std::size_t kKeptRequests = 16;

}  // namespace

InterruptChannel::InterruptChannel(std::unique_ptr<InterruptSource> source)
    : source_(std::move(source)) {}

InterruptChannel::~InterruptChannel() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        listener_ = nullptr;
        expected_.clear();
        if (reading_ && !cancelled_) {
            cancelled_ = true;
            source_->cancel();
        }
        wake_.notify_all();
        answered_.notify_all();
    }
    if (reader_.joinable())
        reader_.join();
}

bool InterruptChannel::needed() const {
    if (listener_)
        return true;
    for (const auto& [tag, awaited] : expected_) {
        if (awaited.status_byte < 0 && awaited.failure == VI_SUCCESS)
            return true;
    }
    return false;
}

void InterruptChannel::needs_changed() {
    if (closing_)
        return;
    if (!needed()) {
        // The read in progress ends; whatever it still brings is handled.
        if (reading_ && !cancelled_) {
            cancelled_ = true;
            source_->cancel();
        }
        return;
    }
    if (!reader_.joinable()) {
        try {
            reader_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            fail(VI_ERROR_SYSTEM_ERROR);
            return;
        }
    }
    wake_.notify_one();
}

void InterruptChannel::set_listener(std::function<void(std::uint8_t)> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
    if (listener_)
        halted_ = false;  // a new need: read again after a failure
    needs_changed();
}

void InterruptChannel::expect(std::uint8_t tag) {
    std::lock_guard lock(mutex_);
    expected_[tag] = Awaited{};
    halted_ = false;
    needs_changed();
}

ViStatus InterruptChannel::await(std::uint8_t tag, Deadline deadline, std::uint8_t& status_byte) {
    std::unique_lock lock(mutex_);
    auto answered = [&] {
        const Awaited& a = expected_[tag];
        return lost_ || waits_cancelled_ || a.status_byte >= 0 || a.failure != VI_SUCCESS;
    };
    bool ok = true;
    if (deadline == Deadline::max())
        answered_.wait(lock, answered);
    else
        ok = answered_.wait_until(lock, deadline, answered);
    const Awaited a = expected_[tag];
    expected_.erase(tag);
    const bool lost = lost_;
    needs_changed();
    if (a.status_byte >= 0) {
        status_byte = static_cast<std::uint8_t>(a.status_byte);
        return VI_SUCCESS;
    }
    if (lost)
        return VI_ERROR_CONN_LOST;
    if (waits_cancelled_)
        return VI_ERROR_ABORT;
    if (a.failure != VI_SUCCESS)
        return a.failure;
    return ok ? VI_ERROR_IO : VI_ERROR_TMO;
}

std::uint64_t InterruptChannel::packets_read() {
    std::lock_guard lock(mutex_);
    return packets_read_;
}

ViStatus InterruptChannel::await_packets_after(std::uint64_t count, Deadline deadline) {
    std::unique_lock lock(mutex_);
    const auto read = [&] { return lost_ || waits_cancelled_ || packets_read_ > count; };
    if (!answered_.wait_until(lock, deadline, read))
        return VI_ERROR_TMO;
    if (packets_read_ > count)
        return VI_SUCCESS;
    return lost_ ? VI_ERROR_CONN_LOST : VI_ERROR_ABORT;
}

void InterruptChannel::cancel_waits() {
    std::lock_guard lock(mutex_);
    waits_cancelled_ = true;
    answered_.notify_all();
}

void InterruptChannel::resume_waits() {
    std::lock_guard lock(mutex_);
    waits_cancelled_ = false;
}

void InterruptChannel::fail(ViStatus st) {
    if (st == VI_ERROR_CONN_LOST) {
        lost_ = true;  // nothing more will come
    } else {
        halted_ = true;  // not retried at once: the endpoint would fail again
        for (auto& [tag, awaited] : expected_) {
            if (awaited.status_byte < 0)
                awaited.failure = st;
        }
    }
    answered_.notify_all();
}

void InterruptChannel::run() {
    // A USB488 notification is 2 bytes; wMaxPacketSize is 2 unless the device
    // sends vendor notifications (USB488 1.0, 5.1.2, Table 22).
    std::array<std::uint8_t, 64> packet{};
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || (needed() && !halted_ && !lost_); });
        if (closing_)
            return;
        if (!kept_.empty()) {
            const std::array<std::uint8_t, 2> request{kServiceRequest, kept_.front()};
            kept_.pop_front();
            handle(lock, request);
            continue;
        }
        source_->resume();  // under the lock: a cancel from now on ends the read
        reading_ = true;
        cancelled_ = false;
        lock.unlock();
        std::size_t got = 0;
        // No deadline: the read ends with a packet, or when cancelled.
        const ViStatus st = source_->read(packet, got, Deadline::max());
        lock.lock();
        reading_ = false;
        if (st == VI_SUCCESS) {
            ++packets_read_;  // room in the device's FIFO, whatever it held
            answered_.notify_all();
            handle(lock, std::span(packet.data(), got));
        } else if (st != VI_ERROR_ABORT)
            fail(st);
    }
}

void InterruptChannel::handle(std::unique_lock<std::mutex>& lock,
                              std::span<const std::uint8_t> packet) {
    const Notification n = parse_notification(packet);
    // bTags tell the answers apart (USB488 1.0, 4.3.1, Table 11).
    if (n.kind == Notification::Kind::status_byte) {
        answered_.notify_all();
        const auto it = expected_.find(n.tag);
        if (it != expected_.end() && it->second.status_byte < 0)  // the first answer counts
            it->second.status_byte = n.status_byte;
        return;  // a tag nobody waits for is stale: dropped
    }
    if (n.kind != Notification::Kind::service_request)
        return;
    if (!needed()) {
        // The read was being stopped: kept for the next reading.
        if (kept_.size() == kKeptRequests)
            kept_.pop_front();
        kept_.push_back(n.status_byte);
        return;
    }
    if (!listener_)
        return;
    const auto listener = listener_;  // set_listener() may replace it meanwhile
    lock.unlock();
    listener(n.status_byte);
    lock.lock();
}

}  // namespace sgvisa::usbtmc
