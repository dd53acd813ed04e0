// HiSLIP (IVI-6.1, protocol 2.0): the message header, its types and codes,
// the parameters that pack several fields, and a reader that reassembles
// messages from a TCP stream.
//
// Every message is a 16-byte header, big-endian:
//   0  2  prologue "HS"
//   2  1  message type
//   3  1  control code
//   4  4  message parameter
//   8  8  payload length
// followed by that many payload bytes. The payload length is 64 bits wide:
// it never sizes a buffer. MessageReader judges it against the maximum its
// owner accepts before a payload byte is kept, and a message over it is
// reported from its header alone (the protocol's answer is Error "message
// too large", then the payload is skipped: skip_payload()).
//
// Our side sends each message as one buffer (message()), so that it goes out
// in one write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace sgproto::hislip {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

constexpr std::size_t kHeaderSize = 16;
constexpr std::uint16_t kDefaultPort = 4880;
// Protocol versions as the Initialize parameters carry them: major in the
// high byte, minor in the low one.
constexpr std::uint16_t kVersion10 = 0x0100;
constexpr std::uint16_t kVersion20 = 0x0200;
// The longest sub-address (the HiSLIP device name) Initialize may carry.
constexpr std::size_t kMaxSubAddress = 256;
// Every receiver takes at least this much payload on the asynchronous
// channel, whatever maximum was negotiated.
constexpr std::size_t kMinAsyncPayload = 256;

// MessageIDs: the client's first after initialization or a device clear;
// each Data, DataEnd or Trigger adds 2. Until the first, messages that name
// "the last one sent" carry kMessageIdBeforeFirst. A server's Data may carry
// kMessageIdUnknown.
constexpr std::uint32_t kFirstMessageId = 0xFFFFFF00u;
constexpr std::uint32_t kMessageIdBeforeFirst = 0xFFFFFEFEu;
constexpr std::uint32_t kMessageIdUnknown = 0xFFFFFFFFu;
constexpr std::uint32_t next_message_id(std::uint32_t id) {
    return id + 2;
}

enum class MessageType : std::uint8_t {
    initialize = 0,
    initialize_response = 1,
    fatal_error = 2,
    error = 3,
    async_lock = 4,
    async_lock_response = 5,
    data = 6,
    data_end = 7,
    device_clear_complete = 8,
    device_clear_acknowledge = 9,
    async_remote_local_control = 10,
    async_remote_local_response = 11,
    trigger = 12,
    interrupted = 13,
    async_interrupted = 14,
    async_maximum_message_size = 15,
    async_maximum_message_size_response = 16,
    async_initialize = 17,
    async_initialize_response = 18,
    async_device_clear = 19,
    async_service_request = 20,
    async_status_query = 21,
    async_status_response = 22,
    async_device_clear_acknowledge = 23,
    async_lock_info = 24,
    async_lock_info_response = 25,
    get_descriptors = 26,
    get_descriptors_response = 27,
    start_tls = 28,
    async_start_tls = 29,
    async_start_tls_response = 30,
    end_tls = 31,
    async_end_tls = 32,
    async_end_tls_response = 33,
    get_sasl_mechanism_list = 34,
    get_sasl_mechanism_list_response = 35,
    authentication_start = 36,
    authentication_exchange = 37,
    authentication_result = 38,
};
// Types from here on are the vendors' own; below it and past the last
// defined one they are reserved.
constexpr std::uint8_t kFirstVendorSpecific = 128;

// Which connection a message travels on. Error and FatalError, the TLS
// descriptors and vendor messages go on either. DeviceClearAcknowledge is
// synchronous: the transaction that ends a device clear sends it there (the
// summary table of the protocol lists it as asynchronous, which no client or
// server follows).
enum class Channel : std::uint8_t { synchronous, asynchronous, either };

// The type's name as the protocol spells it ("DataEnd", "AsyncLock"),
// "VendorSpecific" or "Reserved".
std::string_view type_name(std::uint8_t type);
// Whether `type` is one the protocol defines (vendor types are not).
bool known_type(std::uint8_t type);
Channel channel_of(std::uint8_t type);

// Control codes.
constexpr std::uint8_t kRmtDelivered = 0x01;  // Data, DataEnd, Trigger, AsyncStatusQuery...
// InitializeResponse and the device clear's feature bitmaps.
constexpr std::uint8_t kFeatureOverlapped = 0x01;
constexpr std::uint8_t kFeatureEncryptionMandatory = 0x02;
constexpr std::uint8_t kFeatureInitialEncryption = 0x04;
// AsyncInitializeResponse: the server can make the connection secure.
constexpr std::uint8_t kSecureConnectionCapable = 0x01;
// AsyncLock: request or release; AsyncLockResponse's results.
constexpr std::uint8_t kLockRelease = 0;
constexpr std::uint8_t kLockRequest = 1;
enum class LockResult : std::uint8_t { failure = 0, success = 1, success_shared = 2, error = 3 };
// AsyncLockInfoResponse: an exclusive lock is granted, to whichever client;
// the parameter counts the clients that hold a lock of either kind. VISA
// reports the device's lock state, not the asking client's.
constexpr std::uint8_t kExclusiveLockGranted = 0x01;
// AuthenticationResult: success.
constexpr std::uint8_t kAuthenticationSuccess = 0x01;
// AsyncStartTLSResponse / AsyncEndTLSResponse.
enum class TlsResult : std::uint8_t { busy = 0, success = 1, error = 3 };

enum class FatalErrorCode : std::uint8_t {
    unidentified = 0,
    bad_header = 1,
    channels_not_connected = 2,
    invalid_initialization = 3,
    too_many_clients = 4,
    secure_connection_failed = 5,
};
enum class ErrorCode : std::uint8_t {
    unidentified = 0,
    unrecognized_message_type = 1,
    unrecognized_control_code = 2,
    unrecognized_vendor_message = 3,
    message_too_large = 4,
    authentication_failed = 5,
};
// What a code means, in words ("poorly formed message header"); codes the
// protocol does not define (128-255 are the device's own) say so.
std::string_view fatal_error_text(std::uint8_t code);
std::string_view error_text(std::uint8_t code);

struct Header {
    std::uint8_t type = 0;
    std::uint8_t control = 0;
    std::uint32_t parameter = 0;
    std::uint64_t length = 0;

    MessageType message_type() const { return static_cast<MessageType>(type); }
};

std::array<std::uint8_t, kHeaderSize> encode_header(const Header& h);
// False when the prologue is not "HS": the stream is not HiSLIP, or lost
// its place.
bool decode_header(std::span<const std::uint8_t, kHeaderSize> in, Header& h);

// One message, header and payload in one buffer; the header's length is
// the payload's.
Bytes message(MessageType type, std::uint8_t control, std::uint32_t parameter,
              ByteView payload = {});
inline Bytes message(MessageType type, std::uint8_t control, std::uint32_t parameter,
                     std::string_view payload) {
    return message(type, control, parameter,
                   ByteView(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
}

// Initialize's parameter: the client's protocol version and its two-letter
// vendor ID.
struct InitializeParameter {
    std::uint16_t version = kVersion20;
    std::array<char, 2> vendor{};
};
std::uint32_t encode_initialize(const InitializeParameter& p);
InitializeParameter decode_initialize(std::uint32_t parameter);

// InitializeResponse: the control code's preferences and the parameter's
// negotiated version and SessionID.
struct InitializeResponse {
    bool prefer_overlapped = false;
    bool encryption_mandatory = false;
    bool initial_encryption = false;
    std::uint16_t version = kVersion10;
    std::uint16_t session_id = 0;
};
std::uint8_t initialize_response_control(const InitializeResponse& r);
std::uint32_t initialize_response_parameter(const InitializeResponse& r);
InitializeResponse decode_initialize_response(std::uint8_t control, std::uint32_t parameter);

// The 8-byte payload of AsyncMaximumMessageSize and its response.
std::array<std::uint8_t, 8> encode_u64(std::uint64_t value);
// False unless `payload` is exactly 8 bytes.
bool decode_u64(ByteView payload, std::uint64_t& value);

// Reassembles messages from whatever pieces a stream delivers. Payloads up
// to `max_payload` are kept; a longer one is `too_large` from its header,
// which header() then shows: the owner answers (or gives up) and may
// skip_payload() to go on with the next message. A prologue other than "HS"
// is `bad_header`: the stream has lost its place for good.
//
// A plain value: one per connection, used by one thread.
class MessageReader {
  public:
    enum class Status { need_more, message, too_large, bad_header };

    explicit MessageReader(std::size_t max_payload) : max_(max_payload) {}

    // Takes bytes of `in` up to the end of the current message (or of the
    // payload being skipped), adding their count to `taken`. Once it
    // returns `message`, `too_large` or `bad_header` it takes nothing more
    // until next() or skip_payload().
    Status feed(ByteView in, std::size_t& taken);
    Status status() const { return status_; }
    // Valid from when the header is whole (`message` or `too_large`).
    const Header& header() const { return header_; }
    // The payload, valid after `message` until next().
    ByteView payload() const { return {payload_.data(), got_}; }
    // Where the payload's next bytes go, at most `most` of them, so that a
    // caller may receive into it directly: empty unless inside a payload.
    // fill() takes the count written.
    std::span<std::uint8_t> payload_room(std::size_t most);
    Status fill(std::size_t n);
    // Starts on the next message.
    void next();
    // After `too_large`: drops the payload's bytes as they come, then goes
    // on with the next message.
    void skip_payload();
    // Bytes wanted before the reader can tell more (0 once it has told).
    std::size_t wanted() const;
    // Whether the current message's header is whole. From then on a caller
    // may take the payload (header().length bytes) from the stream itself,
    // into a buffer of its own, and call next() after it.
    bool header_whole() const { return header_got_ == kHeaderSize && !skipping_; }
    std::size_t max_payload() const { return max_; }
    void set_max_payload(std::size_t max) { max_ = max; }

  private:
    std::size_t max_;
    Status status_ = Status::need_more;
    std::uint8_t header_bytes_[kHeaderSize]{};
    std::size_t header_got_ = 0;
    Header header_{};
    Bytes payload_;
    std::size_t expected_ = 0;  // the payload's length, at most max_
    std::size_t got_ = 0;
    std::uint64_t skip_left_ = 0;
    bool skipping_ = false;
};

}  // namespace sgproto::hislip
