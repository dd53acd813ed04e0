// The USBTMC (USB488) device side of the simulated generator, independent of
// how the device is attached to a host (the local bus socket, or a FunctionFS
// gadget). Single-threaded: the attachment calls it from its event loop.
//
// A response becomes available (MAV in the instrument's status byte) when it
// is ready: at once, or after the reply delay or the delay the instrument
// asks for, which advance() lets pass. It stops being available once read to
// its end or dropped. The USB488 requests and notifications are
// usb488_interface.h's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "instrument.h"
#include "interrupt_queue.h"
#include "remote_local.h"

namespace sgsim {

class MessageLog;

using Clock = std::chrono::steady_clock;

// Faults the device can be told to show, for tests.
struct DeviceFaults {
    std::chrono::milliseconds reply_delay{0};  // a reply becomes ready this long after its query
    bool no_reply = false;                     // queries are never answered
    std::size_t split = 0;  // >0: replies in transfers of at most this many data bytes
    // A USB488 interface without an interrupt-IN endpoint: READ_STATUS_BYTE
    // answers the status byte in its control transfer, service requests are
    // not announced, and SR1 is not claimed.
    bool no_interrupt_in = false;
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
    // control_in call, or at next_ready().
    std::optional<std::vector<std::uint8_t>> bulk_in(std::size_t max, Clock::time_point now);

    // When a delayed reply becomes ready, if one is waiting: call advance()
    // then.
    std::optional<Clock::time_point> next_ready() const;

    // Time has come to `now`: a delayed reply that is due becomes available
    // (which may raise a service request).
    void advance(Clock::time_point now);

    // A class request with an IN data stage (all USBTMC/USB488 requests).
    // Returns the data stage (at most `length` bytes), or nullopt to stall.
    std::optional<std::vector<std::uint8_t>> control_in(std::uint8_t request_type,
                                                        std::uint8_t request, std::uint16_t value,
                                                        std::uint16_t index, std::uint16_t length);

    // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint` (as the device numbers it).
    void clear_halt(std::uint8_t endpoint);

    // The host went away or reset the device: partial messages, pending
    // replies and unsent answers to READ_STATUS_BYTE are dropped; the
    // instrument's settings and status, the remote/local state and the
    // service request notifications stay.
    void reset();

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
