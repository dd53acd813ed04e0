// The USBTMC (USB488) device side of the simulated generator, independent of
// how the device is attached to a host (the local bus socket, or a FunctionFS
// gadget). Single-threaded: the attachment calls it from its event loop.
//
// A response becomes available (MAV in the instrument's status byte) when it
// is ready: at once, or after the reply delay or the delay the instrument
// asks for, which advance() lets pass. It stops being available once read to
// its end or dropped. The USB488 requests and notifications are
// usb488_interface.h's.
//
// Quirks (device_quirks.h) bend the rules as real instruments do. Under
// `late`, every REQUEST_DEV_DEP_MSG_IN starts a reply of its own that is
// sent `late` after the request: its transfer is cut from the response as
// soon as one is available (a new message that comes meanwhile does not take
// it back: the instrument keeps working on the old reply, and the new
// message's response is there for the requests after it), and it is
// committed to the bulk-IN FIFO when due, with its request's bTag, whatever
// came in between. INITIATE_ABORT_BULK_IN answers
// STATUS_TRANSFER_NOT_IN_PROGRESS while any such reply is not yet due or
// not yet taken by the attachment, and withdraws none; a device clear drops
// those not yet due; replies of later requests queue behind, each after its
// own delay.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/device_quirks.h"
#include "device/interrupt_queue.h"
#include "device/remote_local.h"
#include "scpi/instrument.h"

namespace sgsim {

class MessageLog;

using Clock = std::chrono::steady_clock;

// Faults the device can be told to show, for tests.
struct DeviceFaults {
    std::chrono::milliseconds reply_delay{0};  // a reply becomes ready this long after its query
    bool no_reply = false;                     // queries are never answered
    // A USB488 interface without an interrupt-IN endpoint: READ_STATUS_BYTE
    // answers the status byte in its control transfer, service requests are
    // not announced, and SR1 is not claimed.
    bool no_interrupt_in = false;
    DeviceQuirks quirks{};
};

class UsbtmcDevice {
  public:
    // Endpoint addresses and packet size the device presents. (A host may see
    // other endpoint numbers: it must read them from the descriptors.)
    static constexpr std::uint8_t kBulkOutEndpoint = 0x01;
    static constexpr std::uint8_t kBulkInEndpoint = 0x82;
    static constexpr std::uint8_t kInterruptInEndpoint = 0x83;
    static constexpr std::uint8_t kInterruptInPacketSize = 2;  // one notification
    static constexpr std::uint8_t kInterfaceNumber = 0;
    static constexpr std::uint8_t kStandardGetStatus = 0;

    // `log` may be null; otherwise every complete message received is recorded.
    UsbtmcDevice(Instrument& instrument, DeviceFaults faults, MessageLog* log);
    ~UsbtmcDevice();
    UsbtmcDevice(const UsbtmcDevice&) = delete;
    UsbtmcDevice& operator=(const UsbtmcDevice&) = delete;

    // The host wrote one bulk-OUT transfer. Returns false when the device
    // halts the endpoint (the host must clear the halt).
    bool bulk_out(std::span<const std::uint8_t> transfer);

    // The host is ready for one bulk-IN transfer of at most `max` bytes.
    // Returns what to send now (a DEV_DEP_MSG_IN header and data), or nullopt
    // when there is nothing to send yet: ask again after the next bulk_out or
    // control_in call, or at next_ready(). Nothing while the bulk-IN endpoint
    // is halted, and nothing under the `late` quirk (see take_committed).
    std::optional<std::vector<std::uint8_t>> bulk_in(std::size_t max, Clock::time_point now);

    // A transfer the device has put into its bulk-IN FIFO on its own, sent
    // at the host's next bulk-IN reads whatever the host does meanwhile: the
    // `leftover` transfer (for the first host to read: a reset before that
    // keeps it), then `late` replies as advance() finds them due. nullopt
    // when none waits. The attachment takes them as they come, before
    // anything bulk_in() gives, and its FIFO keeps them for the host.
    std::optional<std::vector<std::uint8_t>> take_committed();
    // Whether take_committed() has a transfer to give.
    bool has_committed() const;

    // When a delayed reply becomes ready or a late one due, if one is
    // waiting: call advance() then.
    std::optional<Clock::time_point> next_ready() const;

    // Time has come to `now`: a delayed reply that is due becomes available
    // (which may raise a service request), a late one is committed.
    void advance(Clock::time_point now);

    // A class request with an IN data stage (all USBTMC/USB488 requests).
    // Returns the data stage (at most `length` bytes), or nullopt to stall.
    std::optional<std::vector<std::uint8_t>> control_in(std::uint8_t request_type,
                                                        std::uint8_t request, std::uint16_t value,
                                                        std::uint16_t index, std::uint16_t length);

    // A request with an OUT data stage `data`, or none: the standard
    // requests a host may send a configured device's interface (USB 2.0,
    // 9.4), which change nothing here. Returns false to stall.
    bool control_out(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                     std::uint16_t index, std::span<const std::uint8_t> data);

    // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint` (as the device numbers it).
    void clear_halt(std::uint8_t endpoint);

    // The host went away or reset the device: partial messages, pending
    // replies (late ones and committed ones not yet taken included) and
    // unsent answers to READ_STATUS_BYTE are dropped, and a pending clear
    // ends; the instrument's settings and status, the remote/local state,
    // the service request notifications and the halts of host_gone() stay.
    void reset();

    // The host that used the bulk endpoints has gone away, as the
    // attachment sees it. Under `halt_after_close`, when bulk-OUT transfers
    // came since the endpoints last halted this way, both bulk endpoints
    // halt: bulk_out() refuses and bulk_in_halted() holds until clear_halt()
    // of each. Returns true when it halted them.
    bool host_gone();
    bool bulk_in_halted() const;

    const DeviceQuirks& quirks() const;

    bool has_interrupt_in() const;
    // The oldest interrupt-IN packet waiting to be sent, taken off the
    // device's queue (which keeps InterruptQueue::kCapacity, the oldest
    // dropped first); nullopt when none waits.
    std::optional<InterruptPacket> take_interrupt();
    // A packet taken that no host received: it is the next to be taken.
    void put_back_interrupt(const InterruptPacket& packet);
    bool has_interrupt() const;

    RemoteLocal::State remote_state() const;
    // The interface's state as lines for the final settings printout:
    // "Remote state: LOCAL\n".
    std::string describe_interface() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sgsim
