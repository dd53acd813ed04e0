// USBTMC 1.0 and USB488 wire constants and the 12-byte bulk header, shared by
// the host protocol (visa/usbtmc) and the simulated device (sim/device).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sgproto::usbtmc {

// Interface class, subclass and USB488 protocol.
constexpr std::uint8_t kInterfaceClass = 0xFE;
constexpr std::uint8_t kInterfaceSubclass = 0x03;
constexpr std::uint8_t kProtocolUsb488 = 0x01;

// Bulk MsgID values.
constexpr std::uint8_t DEV_DEP_MSG_OUT = 1;
constexpr std::uint8_t REQUEST_DEV_DEP_MSG_IN = 2;
constexpr std::uint8_t DEV_DEP_MSG_IN = 2;
constexpr std::uint8_t VENDOR_SPECIFIC_OUT = 126;
constexpr std::uint8_t REQUEST_VENDOR_SPECIFIC_IN = 127;
constexpr std::uint8_t VENDOR_SPECIFIC_IN = 127;
constexpr std::uint8_t USB488_TRIGGER = 128;

// Class-specific requests (bmRequestType 0xA1 to the interface, 0xA2 to an endpoint).
constexpr std::uint8_t INITIATE_ABORT_BULK_OUT = 1;
constexpr std::uint8_t CHECK_ABORT_BULK_OUT_STATUS = 2;
constexpr std::uint8_t INITIATE_ABORT_BULK_IN = 3;
constexpr std::uint8_t CHECK_ABORT_BULK_IN_STATUS = 4;
constexpr std::uint8_t INITIATE_CLEAR = 5;
constexpr std::uint8_t CHECK_CLEAR_STATUS = 6;
constexpr std::uint8_t GET_CAPABILITIES = 7;
constexpr std::uint8_t INDICATOR_PULSE = 64;
constexpr std::uint8_t USB488_READ_STATUS_BYTE = 128;
constexpr std::uint8_t USB488_REN_CONTROL = 160;
constexpr std::uint8_t USB488_GO_TO_LOCAL = 161;
constexpr std::uint8_t USB488_LOCAL_LOCKOUT = 162;

constexpr std::uint8_t kRequestTypeInterfaceIn = 0xA1;
constexpr std::uint8_t kRequestTypeEndpointIn = 0xA2;

// USBTMC_status values in class request responses.
constexpr std::uint8_t STATUS_SUCCESS = 0x01;
constexpr std::uint8_t STATUS_PENDING = 0x02;
constexpr std::uint8_t STATUS_FAILED = 0x80;
constexpr std::uint8_t STATUS_TRANSFER_NOT_IN_PROGRESS = 0x81;
constexpr std::uint8_t STATUS_SPLIT_NOT_IN_PROGRESS = 0x82;
constexpr std::uint8_t STATUS_SPLIT_IN_PROGRESS = 0x83;

// Response lengths of the class requests.
constexpr std::size_t kCapabilitiesLength = 0x18;
constexpr std::size_t kInitiateAbortLength = 2;
constexpr std::size_t kCheckAbortLength = 8;
constexpr std::size_t kInitiateClearLength = 1;
constexpr std::size_t kCheckClearLength = 2;

// GET_CAPABILITIES bits.
constexpr std::uint8_t kDeviceCapTermChar = 0x01;  // byte 5, bit 0

// bmTransferAttributes bits.
constexpr std::uint8_t kAttrEom = 0x01;              // DEV_DEP_MSG_OUT and DEV_DEP_MSG_IN
constexpr std::uint8_t kAttrTermCharEnabled = 0x02;  // REQUEST_DEV_DEP_MSG_IN
constexpr std::uint8_t kAttrTermCharEnded = 0x02;    // DEV_DEP_MSG_IN

constexpr std::size_t kHeaderSize = 12;

struct BulkHeader {
    std::uint8_t msg_id = 0;
    std::uint8_t tag = 0;
    std::uint32_t transfer_size = 0;
    std::uint8_t attributes = 0;
    std::uint8_t term_char = 0;  // REQUEST_DEV_DEP_MSG_IN only
};

// Writes the 12-byte header: MsgID, bTag, ~bTag, 0, TransferSize (LE),
// bmTransferAttributes, TermChar, 0, 0.
inline void encode_header(const BulkHeader& h, std::span<std::uint8_t, kHeaderSize> out) {
    out[0] = h.msg_id;
    out[1] = h.tag;
    out[2] = static_cast<std::uint8_t>(~h.tag);
    out[3] = 0;
    out[4] = static_cast<std::uint8_t>(h.transfer_size);
    out[5] = static_cast<std::uint8_t>(h.transfer_size >> 8);
    out[6] = static_cast<std::uint8_t>(h.transfer_size >> 16);
    out[7] = static_cast<std::uint8_t>(h.transfer_size >> 24);
    out[8] = h.attributes;
    out[9] = h.term_char;
    out[10] = 0;
    out[11] = 0;
}

// Reads a header. False when fewer than 12 bytes are given or bTag and its
// inverse disagree; the caller checks MsgID, bTag and TransferSize.
inline bool decode_header(std::span<const std::uint8_t> in, BulkHeader& h) {
    if (in.size() < kHeaderSize)
        return false;
    if (static_cast<std::uint8_t>(~in[1]) != in[2])
        return false;
    h.msg_id = in[0];
    h.tag = in[1];
    h.transfer_size = static_cast<std::uint32_t>(in[4]) | static_cast<std::uint32_t>(in[5]) << 8 |
                      static_cast<std::uint32_t>(in[6]) << 16 |
                      static_cast<std::uint32_t>(in[7]) << 24;
    h.attributes = in[8];
    h.term_char = in[9];
    return true;
}

// Bytes of padding after `n` data bytes so that header + data is a multiple of 4.
constexpr std::size_t padding_for(std::size_t n) {
    return (4 - n % 4) % 4;
}

}  // namespace sgproto::usbtmc
