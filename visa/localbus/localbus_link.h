// The host end of the simulator's local bus: a UsbLink over a connected Unix
// stream socket whose device has sent HELLO and granted the claim.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame_socket.h"
#include "localbus_interrupts.h"
#include "proto/localbus_frames.h"
#include "usbtmc/usb_link.h"

namespace sgvisa::localbus {

class LocalbusLink final : public usbtmc::UsbLink {
  public:
    // Takes ownership of `fd` (from open_process_descriptor, closed on
    // destruction), a connection whose HELLO has been read. `first_seq` is the next sequence number
    // to use (those before it were used while opening). `claimed` tells whether the connection
    // holds the claim already. `socket_path` is where a second connection reads the interrupt-IN
    // endpoint ("" for none).
    LocalbusLink(int fd, UsbDeviceFacts facts, std::uint32_t first_seq, bool claimed = false,
                 std::string socket_path = {});
    ~LocalbusLink() override;
    LocalbusLink(const LocalbusLink&) = delete;
    LocalbusLink& operator=(const LocalbusLink&) = delete;

    // Takes the claim over (CLAIM with take-over) unless it is held; keeps
    // it after an operation, since the next claimer takes it over. A claim
    // the device leaves unanswered is VI_ERROR_TMO, with the reason noted. A
    // transfer refused as unclaimed (another process took the claim) is
    // claimed again and sent again once.
    ViStatus acquire(Deadline deadline) override;
    // Keeps the claim (the next claimer takes it over), but stops reading
    // the interrupt-IN endpoint: see localbus_interrupts.h.
    void relinquish() override;
    ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline deadline) override;
    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override;
    // The BULK_OUT and BULK_IN frames go in one write; posting adds the
    // message's BULK_OUT frame in front of them.
    ViStatus bulk_out_in(std::span<const std::uint8_t> out, std::span<std::uint8_t> buf,
                         std::size_t& got, Deadline deadline, bool& sent) override;
    ViStatus bulk_out_posting(std::span<const std::uint8_t> data,
                              std::span<const std::uint8_t> request, std::size_t in_size,
                              Deadline deadline, bool& posted) override;
    ViStatus collect_posted(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                            bool& sent) override;
    void drop_posted(bool& sent) override;
    ViStatus control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::span<std::uint8_t> buf, std::size_t& got,
                        Deadline deadline) override;
    ViStatus control_out(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::span<const std::uint8_t> data,
                         Deadline deadline) override;
    ViStatus clear_halt(std::uint8_t endpoint, Deadline deadline) override;
    void cancel() override;
    void resume() override;
    std::unique_ptr<usbtmc::InterruptSource> open_interrupt_source() override;
    bool interrupt_in_needs_claim() const override { return true; }

    const UsbDeviceFacts& facts() const override { return facts_; }

  private:
    ViStatus claim(Deadline deadline);
    // Clears a stalled bulk endpoint's halt; VI_ERROR_IO (or CONN_LOST).
    ViStatus clear_stall(std::uint8_t endpoint, Deadline deadline);

    struct Answer {
        std::uint8_t status = 0;
        std::vector<std::uint8_t> payload;
    };

    // Sends one request frame; returns its seq in `seq`. Waits honour
    // cancel() when `interruptible`.
    ViStatus send_request(std::uint8_t type, std::uint32_t param,
                          std::span<const std::uint8_t> payload, Deadline deadline,
                          std::uint32_t& seq, bool interruptible = true);
    // Queues one request frame to go with the next send; its seq.
    std::uint32_t queue_request(std::uint8_t type, std::uint32_t param,
                                std::span<const std::uint8_t> payload);
    // Waits for the answer to the request `seq` of `type`, discarding the
    // late answers of earlier requests and frames that answer nothing; ends
    // by `deadline` (VI_ERROR_TMO), or on cancel() (VI_ERROR_ABORT) when
    // `interruptible`, however fast such frames come.
    ViStatus wait_answer(std::uint8_t type, std::uint32_t seq, Deadline deadline, Answer& out,
                         bool interruptible = true);
    // A request and its answer; an unclaimed refusal is claimed and retried once.
    ViStatus transact(std::uint8_t type, std::uint32_t param, std::span<const std::uint8_t> payload,
                      Deadline deadline, Answer& out);
    ViStatus transact_once(std::uint8_t type, std::uint32_t param,
                           std::span<const std::uint8_t> payload, Deadline deadline, Answer& out);
    ViStatus bulk_in_once(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                          std::uint8_t& status);
    // The answer to the BULK_IN `seq` (asking for `max` bytes) that `sending`
    // tells the send of; a timeout or cancel takes the BULK_IN back.
    ViStatus bulk_in_answer(ViStatus sending, std::uint32_t seq, std::uint32_t max,
                            std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                            std::uint8_t& status);
    // A request's BULK_OUT frame with a BULK_IN frame behind it, queued.
    struct Posted {
        std::vector<std::uint8_t> request;
        std::uint32_t request_seq = 0;
        std::uint32_t in_seq = 0;
        std::uint32_t max = 0;
    };
    Posted post(std::span<const std::uint8_t> request, std::size_t in_size);
    // The answers to posted frames whose send `sending` tells of; an
    // unclaimed refusal is claimed and retried once.
    ViStatus finish_out_in(const Posted& p, ViStatus sending, std::span<std::uint8_t> buf,
                           std::size_t& got, Deadline deadline, bool& sent);
    ViStatus collect(const Posted& p, ViStatus sending, std::span<std::uint8_t> buf,
                     std::size_t& got, Deadline deadline, bool& sent, std::uint8_t& out_status,
                     std::uint8_t& in_status);
    // A BULK_IN that is no longer wanted: cancelled and its answer consumed
    // (bounded, not cut by cancel()), so that the next one matches.
    void take_back_bulk_in(std::uint32_t seq);
    // bulk_in's status from the link's and the device's.
    ViStatus bulk_in_outcome(ViStatus st, std::uint8_t status, Deadline deadline);
    ViStatus flush_tx(Deadline deadline, bool interruptible);
    ViStatus lost();
    int cancel_fd(bool interruptible) const { return interruptible ? cancel_fd_ : -1; }

    int fd_;
    int cancel_fd_;  // eventfd, readable while cancelled
    std::atomic<bool> cancelled_{false};
    std::string socket_path_;
    std::shared_ptr<InterruptGate> gate_ = std::make_shared<InterruptGate>();
    UsbDeviceFacts facts_;
    std::uint32_t next_seq_;
    bool claimed_;
    bool lost_ = false;
    // A transfer was refused as unclaimed since the last reply came: another
    // connection took the claim over, and its message discards a pending
    // reply (IEEE 488.2), which a timeout's reason then says.
    bool claim_moved_ = false;
    std::vector<std::uint8_t> tx_;  // bytes of frames not yet sent
    FrameBuffer rx_;                // bytes received, not yet taken as frames
    Posted posted_;                 // in flight while posting_
    bool posting_ = false;
};

// The facts a device's HELLO gives: its descriptors' numbers and its serial
// number.
UsbDeviceFacts facts_from_hello(const sgproto::localbus::DeviceHello& hello, std::string serial);

}  // namespace sgvisa::localbus
