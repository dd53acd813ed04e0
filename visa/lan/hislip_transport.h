// HiSLIP (TCPIP::host::hislipN[,port]::INSTR): a session of two TCP
// connections to the same port, the synchronous channel for the program's
// messages and the asynchronous one for everything that must pass them
// (device clear, status, locks, remote/local, service requests).
//
// - Writes are fire-and-forget: a write returns once its Data/DataEnd
//   messages are in the socket, split so that each fits the largest message
//   the server takes (AsyncMaximumMessageSizeResponse).
// - Reads stream Data payloads straight into the caller's buffer and end at
//   DataEnd (END), at the termination character when enabled, or at the
//   count; the rest of the message stays in the stream for the next read.
// - Synchronized mode: each Data, DataEnd and Trigger carries the next
//   MessageID (from 0xFFFFFF00, +2); a reply whose MessageID is not that of
//   our latest message answers a message we have given up on and is dropped,
//   so a late reply to a timed-out query never reaches the next read.
//   RMT-delivered goes on the first message after a whole reply was handed
//   over. Interrupted and AsyncInterrupted need nothing more: the replies
//   they announce as dropped would carry an older MessageID, and nothing is
//   kept of a reply past a new message.
// - Overlapped mode: replies come in order and are taken as they come;
//   several queries may be in flight.
// - Device clear (viClear, and a cancelled read) is the protocol's
//   transaction: AsyncDeviceClear, AsyncDeviceClearAcknowledge,
//   DeviceClearComplete, DeviceClearAcknowledge, MessageIDs from the start;
//   it renegotiates the mode (VI_ATTR_TCPIP_HISLIP_OVERLAP_EN).
// - Locks are the device's (AsyncLock): an exclusive one with an empty key,
//   a shared one with the VISA access key; a read that waits for another
//   client's lock ends at the VISA timeout with VI_ERROR_RSRC_LOCKED.
// - Service requests come on the asynchronous channel's reader
//   (hislip_async_channel.h); viReadSTB is AsyncStatusQuery.
//
// Threads: one operation at a time, as the Transport promises; attributes
// and the listener from any thread; cancel() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cancel_signal.h"
#include "hislip_async_channel.h"
#include "hislip_channel.h"
#include "transport/transport.h"

namespace sgvisa::lan {

// What the opening negotiated.
struct HislipSession {
    std::uint16_t version = hs::kVersion10;  // major, minor bytes
    bool prefer_overlapped = false;
    std::uint64_t max_to_server = 0;    // the largest message we may send
    std::uint64_t max_from_server = 0;  // the largest we said we take
};

class HislipTransport : public Transport {
  public:
    HislipTransport(std::unique_ptr<HislipChannel> sync, std::unique_ptr<HislipChannel> async,
                    const HislipSession& session, LanFacts facts);
    ~HislipTransport() override;

    // Each process has a session of its own; the device keeps the locks.
    bool takes_turns_between_processes() const override { return false; }
    ViStatus read_status_byte(Deadline deadline, std::uint8_t& status) override;
    ViStatus assert_trigger(Deadline deadline) override;
    ViStatus control_remote(ViUInt16 mode, Deadline deadline) override;
    ViStatus listen_for_service_requests(std::function<void(std::uint8_t)> listener) override;
    void cancel() override;
    void resume() override { cancel_.resume(); }
    bool lost() const override { return sync_->lost() || async_->lost(); }
    const InterfaceFacts& facts() const override { return facts_; }

    ViStatus lock_device(Deadline deadline, const std::string& shared_key = {}) override;
    ViStatus unlock_device(Deadline deadline) override;
    bool keeps_shared_locks() const override { return true; }
    // AsyncLockInfo.
    ViStatus device_lock_state(Deadline deadline, ViAccessMode& state) override;
    // VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, _VERSION, _MAX_MESSAGE_KB, and
    // VI_ATTR_TCPIP_KEEPALIVE (on both channels).
    ViStatus set_interface_attribute(ViAttr attr, ViAttrState value) override;
    ViStatus get_interface_attribute(ViAttr attr, ViAttrState& value) const override;

    // Replies dropped because they answered a message given up on.
    std::uint64_t stale_replies() const { return stale_.load(); }

  protected:
    ViStatus send(std::span<const std::uint8_t> data, bool end, Deadline deadline) override;
    ViStatus receive(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                     ReadResult& result) override;
    ViStatus clear_device(Deadline deadline) override;

  private:
    // Caller holds sync_mutex_.
    ViStatus device_clear(Deadline deadline);
    std::uint32_t take_message_id();
    std::uint8_t take_rmt_delivered() { return rmt_due_.exchange(false) ? hs::kRmtDelivered : 0; }
    // What a wait that ended with `st` returns: a cancel clears the device
    // first, and a timeout behind another client's lock is that lock's.
    ViStatus failure(ViStatus st);
    ViStatus server_error(const hs::Header& h, std::span<const std::uint8_t> words);
    ViStatus async_call(hs::MessageType type, std::uint8_t control, std::uint32_t parameter,
                        std::span<const std::uint8_t> payload, hs::MessageType answer,
                        Deadline deadline, HislipAsyncChannel::Message& out);

    std::unique_ptr<HislipChannel> sync_;
    std::unique_ptr<HislipAsyncChannel> async_;
    HislipSession session_;
    InterfaceFacts facts_;
    CancelSignal cancel_;
    // Takes the synchronous channel into `lock` (VI_ERROR_TMO at the
    // deadline), then VI_ERROR_ABORT if the operation was cancelled.
    ViStatus take_sync_turn(std::unique_lock<std::timed_mutex>& lock, Deadline deadline);
    std::timed_mutex sync_mutex_;  // the synchronous channel and the reply state
    // MessageIDs: the next ours, our latest (or kMessageIdBeforeFirst), and
    // that of the reply last handed over whole (overlapped mode's MAV).
    std::uint32_t next_id_ = hs::kFirstMessageId;
    std::atomic<std::uint32_t> last_sent_{hs::kMessageIdBeforeFirst};
    std::atomic<std::uint32_t> last_delivered_{hs::kMessageIdBeforeFirst};
    std::atomic<bool> rmt_due_{false};
    std::atomic<bool> overlapped_;
    std::atomic<bool> overlap_wanted_;
    std::atomic<std::uint32_t> max_message_kb_;
    std::atomic<bool> keepalive_{false};
    std::atomic<int> device_locks_{0};  // held: exclusive and shared
    // The reply message being read: its header came, its payload is the
    // channel's payload_left().
    bool in_reply_ = false;
    hs::Header reply_{};
    std::atomic<std::uint64_t> stale_{0};
};

}  // namespace sgvisa::lan
