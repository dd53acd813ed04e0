#include "proto/hislip.h"

#include <algorithm>
#include <cstring>

namespace sgproto::hislip {

namespace {

struct TypeRow {
    std::string_view name;
    Channel channel;
};

// Indexed by type, 0 to authentication_result.
constexpr TypeRow kTypes[] = {
    {"Initialize", Channel::synchronous},
    {"InitializeResponse", Channel::synchronous},
    {"FatalError", Channel::either},
    {"Error", Channel::either},
    {"AsyncLock", Channel::asynchronous},
    {"AsyncLockResponse", Channel::asynchronous},
    {"Data", Channel::synchronous},
    {"DataEnd", Channel::synchronous},
    {"DeviceClearComplete", Channel::synchronous},
    {"DeviceClearAcknowledge", Channel::synchronous},
    {"AsyncRemoteLocalControl", Channel::asynchronous},
    {"AsyncRemoteLocalResponse", Channel::asynchronous},
    {"Trigger", Channel::synchronous},
    {"Interrupted", Channel::synchronous},
    {"AsyncInterrupted", Channel::asynchronous},
    {"AsyncMaximumMessageSize", Channel::asynchronous},
    {"AsyncMaximumMessageSizeResponse", Channel::asynchronous},
    {"AsyncInitialize", Channel::asynchronous},
    {"AsyncInitializeResponse", Channel::asynchronous},
    {"AsyncDeviceClear", Channel::asynchronous},
    {"AsyncServiceRequest", Channel::asynchronous},
    {"AsyncStatusQuery", Channel::asynchronous},
    {"AsyncStatusResponse", Channel::asynchronous},
    {"AsyncDeviceClearAcknowledge", Channel::asynchronous},
    {"AsyncLockInfo", Channel::asynchronous},
    {"AsyncLockInfoResponse", Channel::asynchronous},
    {"GetDescriptors", Channel::either},
    {"GetDescriptorsResponse", Channel::either},
    {"StartTLS", Channel::synchronous},
    {"AsyncStartTLS", Channel::asynchronous},
    {"AsyncStartTLSResponse", Channel::asynchronous},
    {"EndTLS", Channel::synchronous},
    {"AsyncEndTLS", Channel::asynchronous},
    {"AsyncEndTLSResponse", Channel::asynchronous},
    {"GetSaslMechanismList", Channel::synchronous},
    {"GetSaslMechanismListResponse", Channel::synchronous},
    {"AuthenticationStart", Channel::synchronous},
    {"AuthenticationExchange", Channel::synchronous},
    {"AuthenticationResult", Channel::synchronous},
};
constexpr std::size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];
static_assert(kTypeCount == static_cast<std::size_t>(MessageType::authentication_result) + 1);

constexpr std::string_view kFatalTexts[] = {
    "unidentified error",
    "poorly formed message header",
    "attempt to use a connection before both channels are connected",
    "invalid initialization sequence",
    "server refused the connection: maximum number of clients exceeded",
    "secure connection failed",
};
constexpr std::string_view kErrorTexts[] = {
    "unidentified error",        "unrecognized message type",
    "unrecognized control code", "unrecognized vendor-defined message",
    "message too large",         "authentication failed",
};

void put_be(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

std::uint64_t get_be(const std::uint8_t* in, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | in[i];
    return v;
}

}  // namespace

std::string_view type_name(std::uint8_t type) {
    if (type < kTypeCount)
        return kTypes[type].name;
    return type >= kFirstVendorSpecific ? "VendorSpecific" : "Reserved";
}

bool known_type(std::uint8_t type) {
    return type < kTypeCount;
}

Channel channel_of(std::uint8_t type) {
    return type < kTypeCount ? kTypes[type].channel : Channel::either;
}

std::string_view fatal_error_text(std::uint8_t code) {
    if (code < std::size(kFatalTexts))
        return kFatalTexts[code];
    return code >= 128 ? "device-defined fatal error" : "reserved fatal error code";
}

std::string_view error_text(std::uint8_t code) {
    if (code < std::size(kErrorTexts))
        return kErrorTexts[code];
    return code >= 128 ? "device-defined error" : "reserved error code";
}

std::array<std::uint8_t, kHeaderSize> encode_header(const Header& h) {
    std::array<std::uint8_t, kHeaderSize> out{};
    out[0] = 'H';
    out[1] = 'S';
    out[2] = h.type;
    out[3] = h.control;
    put_be(out.data() + 4, h.parameter, 4);
    put_be(out.data() + 8, h.length, 8);
    return out;
}

bool decode_header(std::span<const std::uint8_t, kHeaderSize> in, Header& h) {
    if (in[0] != 'H' || in[1] != 'S')
        return false;
    h.type = in[2];
    h.control = in[3];
    h.parameter = static_cast<std::uint32_t>(get_be(in.data() + 4, 4));
    h.length = get_be(in.data() + 8, 8);
    return true;
}

Bytes message(MessageType type, std::uint8_t control, std::uint32_t parameter, ByteView payload) {
    Bytes out(kHeaderSize + payload.size());
    const auto header =
        encode_header({static_cast<std::uint8_t>(type), control, parameter, payload.size()});
    std::memcpy(out.data(), header.data(), kHeaderSize);
    if (!payload.empty())
        std::memcpy(out.data() + kHeaderSize, payload.data(), payload.size());
    return out;
}

std::uint32_t encode_initialize(const InitializeParameter& p) {
    return static_cast<std::uint32_t>(p.version) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(p.vendor[0])) << 8 |
           static_cast<std::uint8_t>(p.vendor[1]);
}

InitializeParameter decode_initialize(std::uint32_t parameter) {
    InitializeParameter p;
    p.version = static_cast<std::uint16_t>(parameter >> 16);
    p.vendor = {static_cast<char>(parameter >> 8 & 0xFF), static_cast<char>(parameter & 0xFF)};
    return p;
}

std::uint8_t initialize_response_control(const InitializeResponse& r) {
    return static_cast<std::uint8_t>((r.prefer_overlapped ? kFeatureOverlapped : 0) |
                                     (r.encryption_mandatory ? kFeatureEncryptionMandatory : 0) |
                                     (r.initial_encryption ? kFeatureInitialEncryption : 0));
}

std::uint32_t initialize_response_parameter(const InitializeResponse& r) {
    return static_cast<std::uint32_t>(r.version) << 16 | r.session_id;
}

InitializeResponse decode_initialize_response(std::uint8_t control, std::uint32_t parameter) {
    InitializeResponse r;
    r.prefer_overlapped = (control & kFeatureOverlapped) != 0;
    r.encryption_mandatory = (control & kFeatureEncryptionMandatory) != 0;
    r.initial_encryption = (control & kFeatureInitialEncryption) != 0;
    r.version = static_cast<std::uint16_t>(parameter >> 16);
    r.session_id = static_cast<std::uint16_t>(parameter & 0xFFFF);
    return r;
}

std::array<std::uint8_t, 8> encode_u64(std::uint64_t value) {
    std::array<std::uint8_t, 8> out{};
    put_be(out.data(), value, 8);
    return out;
}

bool decode_u64(ByteView payload, std::uint64_t& value) {
    if (payload.size() != 8)
        return false;
    value = get_be(payload.data(), 8);
    return true;
}

MessageReader::Status MessageReader::feed(ByteView in, std::size_t& taken) {
    std::size_t pos = 0;
    while (status_ == Status::need_more && pos < in.size()) {
        if (skipping_) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(skip_left_, in.size() - pos));
            skip_left_ -= n;
            pos += n;
            if (skip_left_ == 0) {
                skipping_ = false;
                next();
            }
            continue;
        }
        if (header_got_ < kHeaderSize) {
            const std::size_t n = std::min(kHeaderSize - header_got_, in.size() - pos);
            std::memcpy(header_bytes_ + header_got_, in.data() + pos, n);
            header_got_ += n;
            pos += n;
            if (header_got_ < kHeaderSize)
                break;
            if (!decode_header(std::span<const std::uint8_t, kHeaderSize>(header_bytes_),
                               header_)) {
                status_ = Status::bad_header;
                break;
            }
            // Judged on the header alone, before any payload byte is kept.
            if (header_.length > max_) {
                status_ = Status::too_large;
                break;
            }
            expected_ = static_cast<std::size_t>(header_.length);
            got_ = 0;
            if (header_.length == 0) {
                status_ = Status::message;
                break;
            }
            continue;
        }
        const std::span<std::uint8_t> room = payload_room(in.size() - pos);
        std::memcpy(room.data(), in.data() + pos, room.size());
        pos += room.size();
        fill(room.size());
    }
    taken += pos;
    return status_;
}

std::span<std::uint8_t> MessageReader::payload_room(std::size_t most) {
    if (status_ != Status::need_more || skipping_ || header_got_ < kHeaderSize)
        return {};
    // The buffer grows with what arrives, not with what the header says.
    const std::size_t n = std::min(most, expected_ - got_);
    if (payload_.size() < got_ + n)
        payload_.resize(got_ + n);
    return {payload_.data() + got_, n};
}

MessageReader::Status MessageReader::fill(std::size_t n) {
    got_ += std::min(n, payload_.size() - got_);
    if (got_ == expected_)
        status_ = Status::message;
    return status_;
}

void MessageReader::next() {
    status_ = Status::need_more;
    header_got_ = 0;
    got_ = 0;
    expected_ = 0;
    payload_.clear();
}

void MessageReader::skip_payload() {
    if (status_ != Status::too_large)
        return;
    next();
    skip_left_ = header_.length;
    skipping_ = skip_left_ > 0;
}

std::size_t MessageReader::wanted() const {
    if (status_ != Status::need_more)
        return 0;
    if (skipping_)
        return static_cast<std::size_t>(std::min<std::uint64_t>(skip_left_, SIZE_MAX));
    if (header_got_ < kHeaderSize)
        return kHeaderSize - header_got_;
    return expected_ - got_;
}

}  // namespace sgproto::hislip
