#include "hislip_async_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "hislip_text.h"
#include "trace/trace_reason.h"
#include "transport/process_descriptors.h"

namespace sgvisa::lan {

namespace {

// Answers kept for a transaction that has not asked for them: a server that
// sends more than it was asked for loses the oldest.
constexpr std::size_t kMaxKept = 16;

}  // namespace

HislipAsyncChannel::HislipAsyncChannel(std::unique_ptr<HislipChannel> channel)
    : channel_(std::move(channel)), stop_fd_(open_process_eventfd()) {
    reader_ = std::thread([this] { run(); });
}

HislipAsyncChannel::~HislipAsyncChannel() {
    const std::uint64_t one = 1;
    if (stop_fd_ >= 0)
        (void)!::write(stop_fd_, &one, sizeof one);
    else
        ::shutdown(channel_->connection().fd(), SHUT_RDWR);  // ends the reader's wait too
    reader_.join();
    if (stop_fd_ >= 0)
        close_process_descriptor(stop_fd_);
}

void HislipAsyncChannel::run() {
    for (;;) {
        Message m;
        ViStatus st = channel_->read_header(m.header, Deadline::max(), stop_fd_);
        if (st == VI_ERROR_ABORT)
            return;  // closing
        if (st == VI_SUCCESS) {
            st = channel_->read_payload(m.payload, kMaxPayload, Deadline::max(), stop_fd_);
            if (st == VI_ERROR_ABORT)
                return;
            if (st == VI_ERROR_IO) {
                // Too large for a message of this channel: said, and skipped.
                (void)channel_->send(
                    hs::MessageType::error,
                    static_cast<std::uint8_t>(hs::ErrorCode::message_too_large), 0,
                    std::string_view("message too large for the asynchronous channel"),
                    Clock::now() + std::chrono::seconds(1), stop_fd_);
                continue;
            }
        }
        if (st != VI_SUCCESS) {
            std::lock_guard lock(mutex_);
            lost_ = true;
            changed_.notify_all();
            return;
        }
        dispatch(std::move(m));
    }
}

void HislipAsyncChannel::dispatch(Message&& m) {
    switch (m.header.message_type()) {
        case hs::MessageType::async_service_request: {
            std::lock_guard lock(listener_mutex_);
            if (listener_) {
                const auto listener = listener_;  // the listener may replace itself
                listener(m.header.control);
            }
            return;
        }
        case hs::MessageType::async_interrupted:
            return;
        case hs::MessageType::fatal_error: {
            std::lock_guard lock(mutex_);
            fatal_ = hislip_error_words(m.header, m.payload);
            lost_ = true;
            changed_.notify_all();
            return;
        }
        default: {
            if (!hs::known_type(m.header.type) && m.header.type < hs::kFirstVendorSpecific) {
                (void)channel_->send(
                    hs::MessageType::error,
                    static_cast<std::uint8_t>(hs::ErrorCode::unrecognized_message_type), 0,
                    std::string_view("unknown message type"),
                    Clock::now() + std::chrono::seconds(1), stop_fd_);
                return;
            }
            if (m.header.type >= hs::kFirstVendorSpecific) {
                (void)channel_->send(
                    hs::MessageType::error,
                    static_cast<std::uint8_t>(hs::ErrorCode::unrecognized_vendor_message), 0,
                    std::string_view("no vendor-defined messages here"),
                    Clock::now() + std::chrono::seconds(1), stop_fd_);
                return;
            }
            std::lock_guard lock(mutex_);
            if (answers_.size() == kMaxKept)
                answers_.erase(answers_.begin());
            answers_.push_back(std::move(m));
            changed_.notify_all();
            return;
        }
    }
}

ViStatus HislipAsyncChannel::transact(hs::MessageType type, std::uint8_t control,
                                      std::uint32_t parameter,
                                      std::span<const std::uint8_t> payload, hs::MessageType answer,
                                      Deadline deadline, const CancelSignal* cancel, Message& out) {
    std::unique_lock turn(transaction_, std::defer_lock);
    if (deadline == Deadline::max())
        turn.lock();
    else if (!turn.try_lock_until(deadline))
        return VI_ERROR_TMO;
    {
        std::lock_guard lock(mutex_);
        if (lost_)
            return VI_ERROR_CONN_LOST;
        answers_.clear();  // late answers of transactions that gave up
    }
    ViStatus st = channel_->send(type, control, parameter, payload, deadline, -1);
    if (st != VI_SUCCESS)
        return st;
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto it = std::find_if(answers_.begin(), answers_.end(), [&](const Message& m) {
            return m.header.message_type() == answer ||
                   m.header.message_type() == hs::MessageType::error;
        });
        if (it != answers_.end()) {
            out = std::move(*it);
            answers_.erase(answers_.begin(), it + 1);
            return VI_SUCCESS;
        }
        if (lost_) {
            trace::note_reason([&] {
                return fatal_.empty() ? std::string("the instrument closed its HiSLIP connection")
                                      : "the instrument ended the HiSLIP session: " + fatal_;
            });
            return VI_ERROR_CONN_LOST;
        }
        if (cancel != nullptr && cancel->cancelled())
            return VI_ERROR_ABORT;
        if (deadline == Deadline::max())
            changed_.wait(lock);
        else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
                 Clock::now() >= deadline) {
            // One last look: the answer may have come with the deadline.
            if (std::none_of(answers_.begin(), answers_.end(),
                             [&](const Message& m) { return m.header.message_type() == answer; }))
                return VI_ERROR_TMO;
        }
    }
}

void HislipAsyncChannel::wake() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

void HislipAsyncChannel::set_listener(std::function<void(std::uint8_t)> listener) {
    if (std::this_thread::get_id() == reader_.get_id()) {
        listener_ = std::move(listener);  // from the listener: its lock is held already
        return;
    }
    std::lock_guard lock(listener_mutex_);
    listener_ = std::move(listener);
}

std::string HislipAsyncChannel::fatal_words() const {
    std::lock_guard lock(mutex_);
    return fatal_;
}

}  // namespace sgvisa::lan
