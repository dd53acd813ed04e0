#include "localbus_interrupts.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "frame_socket.h"
#include "proto/localbus_frames.h"
#include "transport/process_descriptors.h"

namespace sgvisa::localbus {
namespace {

namespace lb = sgproto::localbus;

// A live simulator sends HELLO at once, and answers a CANCEL at once.
constexpr auto kHelloBound = std::chrono::milliseconds(500);
constexpr auto kCancelBound = std::chrono::milliseconds(200);
// Frames that answer nothing this connection asked, at most, while one
// INTERRUPT_IN waits: a live device sends at most the late answer of an
// earlier read's take-back. The reader waits without a deadline while
// service requests are listened for, so a device that sends more is out of
// step and its connection is dropped (the endpoint is then lost for the
// connection's life, as the channel treats a lost endpoint), rather than
// read at the speed it sends.
constexpr int kMaxUnwantedFrames = 64;

}  // namespace

void InterruptGate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

void InterruptGate::close(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    open_ = false;
    if (!reading_)
        return;
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    changed_.wait_for(lock, bound, [this] { return !reading_; });
}

class LocalbusInterruptSource final : public usbtmc::InterruptSource {
  public:
    LocalbusInterruptSource(std::string path, std::shared_ptr<InterruptGate> gate)
        : path_(std::move(path)), cancel_fd_(open_process_eventfd()), gate_(std::move(gate)) {
        std::lock_guard lock(gate_->mutex_);
        gate_->wake_fd_ = cancel_fd_;
    }
    ~LocalbusInterruptSource() override {
        {
            std::lock_guard lock(gate_->mutex_);
            gate_->wake_fd_ = -1;
        }
        disconnect();
        close_process_descriptor(cancel_fd_);
    }

    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        for (;;) {
            ViStatus st = pass_gate(deadline);
            if (st != VI_SUCCESS)
                return st;
            st = read_open(buf, got, deadline);
            std::lock_guard lock(gate_->mutex_);
            // A take-back left unanswered within its bound leaves the
            // INTERRUPT_IN pending: its answer is the next read's, and a
            // close does not wait for it.
            gate_->reading_ = false;
            gate_->changed_.notify_all();
            if (st != VI_ERROR_ABORT || gate_->cancelled_)
                return st;
            // The gate closed: the INTERRUPT_IN is back; read again once it opens.
        }
    }

    void cancel() override {
        std::lock_guard lock(gate_->mutex_);
        gate_->cancelled_ = true;
        const std::uint64_t one = 1;
        (void)!::write(cancel_fd_, &one, sizeof one);
        gate_->changed_.notify_all();
    }

    void resume() override {
        std::lock_guard lock(gate_->mutex_);
        gate_->cancelled_ = false;
        std::uint64_t count = 0;
        (void)!::read(cancel_fd_, &count, sizeof count);
    }

  private:
    // Waits until the gate is open (VI_ERROR_TMO at `deadline`,
    // VI_ERROR_ABORT once cancelled); the read may go on from then.
    ViStatus pass_gate(Deadline deadline) {
        std::unique_lock lock(gate_->mutex_);
        const auto ready = [this] { return gate_->open_ || gate_->cancelled_; };
        if (deadline == Deadline::max())
            gate_->changed_.wait(lock, ready);
        else if (!gate_->changed_.wait_until(lock, deadline, ready))
            return VI_ERROR_TMO;
        if (gate_->cancelled_)
            return VI_ERROR_ABORT;
        // A close's wake-up that came after the read it meant had ended.
        std::uint64_t count = 0;
        (void)!::read(cancel_fd_, &count, sizeof count);
        gate_->reading_ = true;
        return VI_SUCCESS;
    }

    ViStatus read_open(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) {
        got = 0;
        if (fd_ < 0) {
            const ViStatus st = connect_to_device();
            if (st != VI_SUCCESS)
                return st;
        }
        if (!pending_) {
            const std::uint32_t seq = ++seq_;
            const auto frame = lb::encode_frame(
                lb::INTERRUPT_IN, 0, seq,
                static_cast<std::uint32_t>(std::min<std::size_t>(buf.size(), lb::kMaxPayload)), {});
            std::size_t sent = 0;
            const ViStatus st = localbus::send_all(fd_, frame, deadline, sent, cancel_fd_);
            if (st == VI_ERROR_ABORT && sent == 0)
                return st;  // nothing asked: the connection stays as it is
            if (st != VI_SUCCESS)
                return give_up(st);
            pending_ = true;
            pending_seq_ = seq;
        }
        const ViStatus st = await_answer(buf, got, deadline, cancel_fd_);
        return st == VI_ERROR_ABORT ? take_back(buf, got) : st;
    }

    // The answer to the pending INTERRUPT_IN. VI_ERROR_TMO and
    // VI_ERROR_ABORT (cancelled) leave it pending.
    ViStatus await_answer(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                          int cancel_fd) {
        for (int unwanted = 0;; ++unwanted) {
            if (unwanted > 0) {
                // Frames already received come without a wait: the
                // deadline and a cancel are looked at here, or a flood would
                // keep this loop (and the close that joins it) for ever.
                if (unwanted > kMaxUnwantedFrames)
                    return give_up(VI_ERROR_CONN_LOST);
                if (Clock::now() >= deadline)
                    return VI_ERROR_TMO;
                if (localbus::cancel_signalled(cancel_fd))
                    return VI_ERROR_ABORT;
            }
            lb::FrameHeader h{};
            std::vector<std::uint8_t> payload;
            const ViStatus st = localbus::receive_frame(fd_, rx_, deadline, h, payload, cancel_fd);
            if (st == VI_ERROR_TMO || st == VI_ERROR_ABORT)
                return st;
            if (st != VI_SUCCESS)
                return give_up(st);
            if (h.type != lb::INTERRUPT_IN || h.seq != pending_seq_)
                continue;
            pending_ = false;
            if (h.status == lb::STATUS_CANCELLED)
                return VI_ERROR_ABORT;  // (also the late answer to an earlier read's cancel)
            if (h.status != lb::STATUS_OK)
                return VI_ERROR_IO;
            got = std::min(payload.size(), buf.size());
            std::copy_n(payload.begin(), got, buf.begin());
            return VI_SUCCESS;
        }
    }

    // A cancelled read takes its INTERRUPT_IN back, so that the device keeps
    // its next packet for the next read; the connection stays for that read.
    // A packet the device sent before the CANCEL reached it is the read's.
    // An answer that does not come within the bound stays pending: the next
    // read takes it (a packet, or the cancellation), so nothing is lost.
    ViStatus take_back(std::span<std::uint8_t> buf, std::size_t& got) {
        const Deadline bound = Clock::now() + kCancelBound;
        const auto frame = lb::encode_frame(lb::CANCEL, 0, ++seq_, pending_seq_, {});
        std::size_t sent = 0;
        ViStatus st = localbus::send_all(fd_, frame, bound, sent);
        if (st != VI_SUCCESS && sent != 0 && sent != frame.size()) {
            disconnect();  // a frame cut short: out of step with the device
            return VI_ERROR_ABORT;
        }
        if (st == VI_SUCCESS)
            st = await_answer(buf, got, bound, -1);
        return st == VI_SUCCESS || st == VI_ERROR_CONN_LOST ? st : VI_ERROR_ABORT;
    }

    // After a failure the connection goes: a new one starts in step with
    // the device, with nothing pending.
    ViStatus give_up(ViStatus st) {
        disconnect();
        return st == VI_ERROR_IO ? VI_ERROR_CONN_LOST : st;
    }

    void disconnect() {
        close_process_descriptor(fd_);
        fd_ = -1;
        pending_ = false;
        rx_.clear();
    }

    ViStatus connect_to_device() {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path_.size() >= sizeof addr.sun_path)
            return VI_ERROR_CONN_LOST;
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        // A fork child closes its copy: the device sees this one close when
        // this process closes it, and sends its notifications to nobody else.
        fd_ = open_process_descriptor(
            [] { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); });
        if (fd_ < 0)
            return VI_ERROR_SYSTEM_ERROR;
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            // Nobody listens: the device is gone. Otherwise (a full
            // backlog) it is there but does not take us now.
            const bool gone = errno == ECONNREFUSED || errno == ENOENT;
            disconnect();
            return gone ? VI_ERROR_CONN_LOST : VI_ERROR_RSRC_BUSY;
        }
        lb::FrameHeader h{};
        std::vector<std::uint8_t> payload;
        const ViStatus st =
            localbus::receive_frame(fd_, rx_, Clock::now() + kHelloBound, h, payload, cancel_fd_);
        if (st != VI_SUCCESS || h.type != lb::HELLO)
            return give_up(st == VI_SUCCESS ? VI_ERROR_CONN_LOST : st);
        return VI_SUCCESS;
    }

    std::string path_;
    int fd_ = -1;
    int cancel_fd_;  // readable while cancelled or while the gate closes
    std::shared_ptr<InterruptGate> gate_;
    std::uint32_t seq_ = 0;  // of the last frame sent
    bool pending_ = false;   // an INTERRUPT_IN waits for its answer
    std::uint32_t pending_seq_ = 0;
    FrameBuffer rx_;
};

std::unique_ptr<usbtmc::InterruptSource> make_localbus_interrupt_source(
    std::string socket_path, std::shared_ptr<InterruptGate> gate) {
    return std::make_unique<LocalbusInterruptSource>(std::move(socket_path), std::move(gate));
}

}  // namespace sgvisa::localbus
