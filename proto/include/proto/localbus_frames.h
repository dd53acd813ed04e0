// The simulator's local bus: how a simulated USB device and the host library
// talk over a Unix stream socket. The frames carry the same transfers as a
// USB link (bulk-OUT, bulk-IN requests with their lengths, class requests),
// so the USBTMC host code runs unchanged over it. Where the sockets live is
// in bus_directory.h.
//
// Framing: every frame is a 16-byte header followed by `length` payload
// bytes. Multi-byte fields are little-endian on the wire whatever the host's
// byte order; the encode/decode functions below are the only way in and out.
//
// On connecting, the device sends one HELLO frame. Its param is the size of
// the device hello at the start of its payload (kDeviceHelloSize, 12); the
// device hello is followed by the serial number, and optionally a NUL, the
// manufacturer's name, a NUL and the product's name, as its string
// descriptors give them. A device from before the interrupt-IN fields sends
// param 0 and a 10-byte device hello (kShortDeviceHelloSize): a host reads
// the size with device_hello_size(param).
//
// The claim: one connection at a time holds it, and only its transfers reach
// the device; the device answers every transfer of another connection with
// STATUS_NOT_CLAIMED and does not carry it out (a CANCEL of such a
// connection gets no answer), interrupt-IN excepted (see INTERRUPT_IN).
// Several host processes may share one device and pass the claim between
// them:
//   CLAIM      param: how to claim.                  answer: status, no payload.
//              kClaimWait (0): OK once no other connection holds the claim;
//              until then the CLAIM waits, and waiting claims are granted in
//              the order they came.
//              kClaimTakeOver (1): OK at once, also when another connection
//              holds the claim, which then loses it (no frame tells it so: its
//              later transfers get STATUS_NOT_CLAIMED until it claims again).
//              While the holder has a BULK_IN pending, the take-over waits
//              until that BULK_IN has been answered or cancelled. Take-overs
//              go before waiting kClaimWait claims; several waiting take-overs
//              are granted in the order they came, each taking the claim from
//              the one before.
//              A connection that holds the claim gets OK at once; a CLAIM from
//              a connection whose CLAIM still waits is ignored; any other
//              param ends the connection.
//   RELEASE    (param and payload ignored)           answer: STATUS_OK.
//              The connection gives up the claim, or its waiting CLAIM, which
//              is then answered STATUS_NOT_CLAIMED before the RELEASE. A
//              pending BULK_IN of the holder is answered STATUS_CANCELLED
//              first, as by CANCEL. OK also when it held nothing.
// A connection that holds the claim releases it when it closes, and the
// device then drops its partial messages, pending replies and what waits in
// its bulk-IN FIFO. Moving the
// claim by RELEASE or take-over leaves the device as it is: a message half
// sent or a reply not yet read is still there for the next holder.
//
// Host requests and the device's answers (the answer echoes type and seq):
//   BULK_OUT   payload: transfer bytes.         answer: status, no payload.
//   BULK_IN    param: max bytes.                answer (when the device has
//              data; may be much later): status, payload = the bytes a host
//              controller's bulk-IN transfer of `param` bytes gets: up to and
//              with a short packet, or none for a zero-length packet, or
//              `param` bytes (packets of the hello's max packet size; the
//              rest stays for the next BULK_IN). STATUS_STALL while the
//              device's bulk-IN endpoint is halted. At most one BULK_IN is
//              pending.
//   CANCEL     param: seq of the pending BULK_IN. If it is still pending the
//              device answers that BULK_IN with STATUS_CANCELLED and keeps its
//              data, but for the whole packets that BULK_IN had received
//              (none unless a transfer fills its last packet and no short
//              packet follows): they come with the answer, as a host
//              controller's cancelled transfer keeps them. If it already
//              answered, CANCEL gets no answer of its own.
//   CONTROL_IN payload: control setup.          answer: status, payload = data stage.
//   CONTROL_OUT payload: control setup, then its wLength bytes of data stage
//              (another length ends the connection). answer: status, no payload.
//   CLEAR_HALT param: endpoint address.          answer: status.
//
// Interrupt-IN, when the device has the endpoint (the hello names it):
//   INTERRUPT_IN param: max bytes (0 ends the connection).
//              answer (when the device has an interrupt packet; may be much
//              later): status, payload = the packet (at most `param` bytes).
//              At most one INTERRUPT_IN is pending per connection; a second
//              ends the connection. It needs no claim: every connection
//              that has an INTERRUPT_IN pending when the device makes a
//              packet gets that packet, so several host processes can wait
//              for service requests. While none is pending the device keeps
//              up to kKeptInterruptPackets packets (the oldest dropped
//              first); each INTERRUPT_IN then takes the oldest kept one at
//              once. A RELEASE, or the loss of the claim, leaves it pending.
//              It goes with its connection: a packet for a connection whose
//              host has gone, and for no other, is kept for the next one.
//              A device without the endpoint answers STATUS_STALL.
//   CANCEL     param: seq of a pending INTERRUPT_IN takes it back, as for
//              BULK_IN (answered STATUS_CANCELLED, or nothing when it was
//              already answered), from any connection. A CANCEL whose seq
//              names both a pending BULK_IN and a pending INTERRUPT_IN of its
//              connection takes back both.
//   The packets are USB488 notifications (usbtmc.h): {0x81, status byte}
//   for a service request, {0x80 | bTag, status byte} for the answer to
//   READ_STATUS_BYTE with that bTag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sgproto::localbus {

enum FrameType : std::uint8_t {
    HELLO = 1,
    CLAIM = 2,
    BULK_OUT = 3,
    BULK_IN = 4,
    CANCEL = 5,
    CONTROL_IN = 6,
    CLEAR_HALT = 7,
    RELEASE = 8,
    INTERRUPT_IN = 9,
    CONTROL_OUT = 10,
};

// CLAIM's param.
constexpr std::uint32_t kClaimWait = 0;
constexpr std::uint32_t kClaimTakeOver = 1;

enum FrameStatus : std::uint8_t {
    STATUS_OK = 0,
    STATUS_STALL = 1,
    STATUS_CANCELLED = 2,
    STATUS_NOT_CLAIMED = 3,
};

struct FrameHeader {
    std::uint8_t type = 0;
    std::uint8_t status = 0;   // answers only; 0 in requests
    std::uint32_t seq = 0;     // chosen by the host, echoed in the answer
    std::uint32_t param = 0;   // BULK_IN, INTERRUPT_IN: max bytes; CANCEL: seq;
                               // CLEAR_HALT: endpoint; CLAIM: kClaimWait or
                               // kClaimTakeOver; HELLO: the device hello's size
    std::uint32_t length = 0;  // payload bytes that follow
};

struct DeviceHello {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t interface_number = 0;
    std::uint8_t bulk_out_endpoint = 0;
    std::uint8_t bulk_in_endpoint = 0;
    std::uint8_t interface_protocol = 0;  // bInterfaceProtocol: 1 for USB488
    std::uint16_t max_packet_size = 0;
    std::uint8_t interrupt_in_endpoint = 0;     // 0: none
    std::uint8_t interrupt_in_packet_size = 0;  // its wMaxPacketSize; 0 without one
};

struct ControlSetup {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

// Wire sizes. Header: type, status, 2 reserved, seq, param, length.
// Hello: vendor (2), product (2), interface, bulk-OUT, bulk-IN, interface
// protocol, max packet (2), interrupt-IN endpoint, its max packet.
// Setup: bmRequestType, bRequest, wValue, wIndex, wLength.
constexpr std::size_t kFrameHeaderSize = 16;
constexpr std::size_t kDeviceHelloSize = 12;
// The hello without the interrupt-IN fields, as older devices send it.
constexpr std::size_t kShortDeviceHelloSize = 10;
constexpr std::size_t kControlSetupSize = 8;
// Offsets a raw client (benchmarks, tests) may patch in place.
constexpr std::size_t kSeqOffset = 4;
constexpr std::size_t kLengthOffset = 12;

// Largest payload either side accepts in one frame; a larger length is a
// protocol error and ends the connection.
constexpr std::uint32_t kMaxPayload = 1u << 20;

// Interrupt packets a device keeps while no INTERRUPT_IN is pending.
constexpr std::size_t kKeptInterruptPackets = 16;

void encode_header(const FrameHeader& h, std::span<std::uint8_t, kFrameHeaderSize> out);
// False when fewer than kFrameHeaderSize bytes are given.
bool decode_header(std::span<const std::uint8_t> in, FrameHeader& h);

void encode_hello(const DeviceHello& h, std::span<std::uint8_t, kDeviceHelloSize> out);
// The size of the device hello in a HELLO payload, from the HELLO frame's
// param: kShortDeviceHelloSize for 0 (an older device), else the param.
std::size_t device_hello_size(std::uint32_t hello_param);
// Decodes a device hello of `size` bytes: kShortDeviceHelloSize (which has
// no interrupt-IN endpoint), or kDeviceHelloSize or more (fields after ours
// are skipped). False when `in` is shorter or the size is neither.
bool decode_hello(std::span<const std::uint8_t> in, std::size_t size, DeviceHello& h);
// A device hello of kDeviceHelloSize bytes.
bool decode_hello(std::span<const std::uint8_t> in, DeviceHello& h);

void encode_setup(const ControlSetup& s, std::span<std::uint8_t, kControlSetupSize> out);
bool decode_setup(std::span<const std::uint8_t> in, ControlSetup& s);

// The strings after the device hello: serial, then manufacturer and product
// when present (NUL-separated). Missing ones are left empty.
void decode_hello_strings(std::span<const std::uint8_t> in, std::string& serial,
                          std::string& manufacturer, std::string& product);
std::vector<std::uint8_t> encode_hello_strings(const std::string& serial,
                                               const std::string& manufacturer,
                                               const std::string& product);

// A whole frame: header and payload.
std::vector<std::uint8_t> encode_frame(std::uint8_t type, std::uint8_t status, std::uint32_t seq,
                                       std::uint32_t param, std::span<const std::uint8_t> payload);

}  // namespace sgproto::localbus
