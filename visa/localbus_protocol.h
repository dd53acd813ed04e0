// The simulator's local bus: how a simulated USB device and the host library
// talk over a Unix stream socket. The frames carry the same transfers as a
// USB link (bulk-OUT, bulk-IN requests with their lengths, class requests),
// so the USBTMC host code runs unchanged over it.
//
// Where: one socket per device in a directory private to the user,
// $XDG_RUNTIME_DIR/sgvisa/ or else /tmp/sgvisa-<uid>/ (mode 0700). The host
// ignores a directory or socket that is not owned by the user or is open to
// group or others.
//
// Framing: every frame is a FrameHeader (little-endian fields) followed by
// `length` payload bytes.
//
// On connecting, the device sends one HELLO frame (payload: DeviceHello then
// the serial number string, `length - sizeof(DeviceHello)` bytes, no NUL).
// The host then sends CLAIM; the device answers CLAIM with status OK once no
// other connection holds the claim (a claimed connection releases it when it
// closes). The device answers no transfer of an unclaimed connection but
// STATUS_NOT_CLAIMED.
//
// Host requests and the device's answers (the answer echoes type and seq):
//   BULK_OUT   payload: transfer bytes.         answer: status, no payload.
//   BULK_IN    param: max bytes.                answer (when the device has
//              data; may be much later): status, payload = the transfer
//              (at most `param` bytes). At most one BULK_IN is pending.
//   CANCEL     param: seq of the pending BULK_IN. If it is still pending the
//              device answers that BULK_IN with STATUS_CANCELLED and keeps its
//              data; if it already answered, CANCEL gets no answer of its own.
//   CONTROL_IN payload: ControlSetup.           answer: status, payload = data stage.
//   CLEAR_HALT param: endpoint address.          answer: status.
#pragma once

#include <cstdint>
#include <string>

namespace sgvisa::localbus {

enum FrameType : std::uint8_t {
    HELLO = 1,
    CLAIM = 2,
    BULK_OUT = 3,
    BULK_IN = 4,
    CANCEL = 5,
    CONTROL_IN = 6,
    CLEAR_HALT = 7,
};

enum FrameStatus : std::uint8_t {
    STATUS_OK = 0,
    STATUS_STALL = 1,
    STATUS_CANCELLED = 2,
    STATUS_NOT_CLAIMED = 3,
};

#pragma pack(push, 1)
struct FrameHeader {
    std::uint8_t type;
    std::uint8_t status;     // answers only; 0 in requests
    std::uint16_t reserved;  // 0
    std::uint32_t seq;       // chosen by the host, echoed in the answer
    std::uint32_t param;     // BULK_IN: max bytes; CANCEL: seq; CLEAR_HALT: endpoint
    std::uint32_t length;    // payload bytes that follow
};

struct DeviceHello {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    std::uint8_t interface_number;
    std::uint8_t bulk_out_endpoint;
    std::uint8_t bulk_in_endpoint;
    std::uint8_t reserved;
    std::uint16_t max_packet_size;
};

struct ControlSetup {
    std::uint8_t request_type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};
#pragma pack(pop)

static_assert(sizeof(FrameHeader) == 16);
static_assert(sizeof(DeviceHello) == 10);
static_assert(sizeof(ControlSetup) == 8);

// Largest payload either side accepts in one frame; a larger length is a
// protocol error and ends the connection.
constexpr std::uint32_t kMaxPayload = 1u << 20;

// The bus directory for this user, from XDG_RUNTIME_DIR or /tmp/sgvisa-<uid>.
// Does not create it.
std::string bus_directory();

// Creates the bus directory (0700) if missing. Returns false, with a message
// in `error`, when it cannot be created or is not safe to use.
bool ensure_bus_directory(std::string& error);

// True when `dir` is a directory owned by this user with no group or other
// permissions.
bool bus_directory_is_private(const std::string& dir);

// The socket path of a device, e.g. <dir>/4d19-0040-SIM001.sock. Characters
// of the serial number that are not [A-Za-z0-9._-] are written as %HH.
std::string device_socket_path(const std::string& dir, std::uint16_t vendor_id,
                               std::uint16_t product_id, const std::string& serial);

}  // namespace sgvisa::localbus
