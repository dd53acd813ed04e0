#include "interrupt_channel.h"

#include <array>
#include <utility>

#include "usb488_messages.h"

namespace sgvisa::usbtmc {

InterruptChannel::InterruptChannel(std::unique_ptr<InterruptSource> source)
    : source_(std::move(source)) {}

InterruptChannel::~InterruptChannel() {
    std::unique_lock lock(mutex_);
    listener_ = nullptr;
    expected_.clear();
    update_reader(lock);
}

void InterruptChannel::update_reader(std::unique_lock<std::mutex>& lock) {
    if (needed() && !reader_.joinable() && !lost_) {
        stop_ = false;
        source_->resume();
        reader_ = std::thread([this] { run(); });
        return;
    }
    if (!needed() && reader_.joinable()) {
        stop_ = true;
        source_->cancel();
        std::thread reader = std::move(reader_);
        lock.unlock();
        reader.join();
        lock.lock();
    }
}

void InterruptChannel::set_listener(std::function<void(std::uint8_t)> listener) {
    std::unique_lock lock(mutex_);
    listener_ = std::move(listener);
    update_reader(lock);
}

void InterruptChannel::expect(std::uint8_t tag) {
    std::unique_lock lock(mutex_);
    expected_[tag] = -1;
    update_reader(lock);
}

ViStatus InterruptChannel::await(std::uint8_t tag, Deadline deadline, std::uint8_t& status_byte) {
    std::unique_lock lock(mutex_);
    auto answered = [&] { return lost_ || expected_[tag] >= 0; };
    bool ok = true;
    if (deadline == Deadline::max())
        answered_.wait(lock, answered);
    else
        ok = answered_.wait_until(lock, deadline, answered);
    const int value = expected_[tag];
    expected_.erase(tag);
    const bool lost = lost_;
    update_reader(lock);
    if (value >= 0) {
        status_byte = static_cast<std::uint8_t>(value);
        return VI_SUCCESS;
    }
    if (lost)
        return VI_ERROR_CONN_LOST;
    return ok ? VI_ERROR_IO : VI_ERROR_TMO;
}

void InterruptChannel::run() {
    std::array<std::uint8_t, 64> packet{};
    for (;;) {
        std::size_t got = 0;
        // No deadline: the read ends with a packet, or when cancelled.
        const ViStatus st = source_->read(packet, got, Deadline::max());
        std::function<void(std::uint8_t)> listener;
        usb488::Notification n;
        {
            std::lock_guard lock(mutex_);
            if (stop_ || st == VI_ERROR_ABORT)
                return;
            if (st != VI_SUCCESS) {
                // Gone, or the endpoint fails: nothing more will come.
                lost_ = true;
                answered_.notify_all();
                return;
            }
            n = usb488::parse_notification(std::span(packet.data(), got));
            if (n.kind == usb488::Notification::Kind::status_byte) {
                const auto it = expected_.find(n.tag);
                if (it != expected_.end() && it->second < 0) {  // the first answer counts
                    it->second = n.status_byte;
                    answered_.notify_all();
                }
                continue;  // a tag nobody waits for is stale: dropped
            }
            if (n.kind != usb488::Notification::Kind::service_request)
                continue;
            listener = listener_;
        }
        if (listener)
            listener(n.status_byte);
    }
}

}  // namespace sgvisa::usbtmc
