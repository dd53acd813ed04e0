// USBTMC 1.0 and USB488 wire constants and the 12-byte bulk header, shared by
// the host protocol (visa/usbtmc) and the simulated device (sim/device).
//
// Citations: "USBTMC 1.0" is Universal Serial Bus Test and Measurement Class,
// Revision 1.0; "USB488 1.0" its Subclass USB488, Revision 1.0; then section,
// table, and a numbered rule under a section where one applies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sgproto::usbtmc {

// Interface class, subclass and USB488 protocol: USBTMC 1.0, 5.5, Tables 43
// and 44; USB488 1.0, 5.1.1, Table 21.
constexpr std::uint8_t kInterfaceClass = 0xFE;
constexpr std::uint8_t kInterfaceSubclass = 0x03;
constexpr std::uint8_t kProtocolUsb488 = 0x01;

// Bulk MsgID values: USBTMC 1.0, 3.2, Table 2 (a request and its answer share
// a value; the direction tells them apart); TRIGGER: USB488 1.0, 3.2.1, Table 1.
constexpr std::uint8_t DEV_DEP_MSG_OUT = 1;
constexpr std::uint8_t REQUEST_DEV_DEP_MSG_IN = 2;
constexpr std::uint8_t DEV_DEP_MSG_IN = 2;
constexpr std::uint8_t VENDOR_SPECIFIC_OUT = 126;
constexpr std::uint8_t REQUEST_VENDOR_SPECIFIC_IN = 127;
constexpr std::uint8_t VENDOR_SPECIFIC_IN = 127;
constexpr std::uint8_t USB488_TRIGGER = 128;

// Class-specific requests (bmRequestType 0xA1 to the interface, 0xA2 to an endpoint):
// USBTMC 1.0, 4.2.1, Table 15; USB488's own: USB488 1.0, 4.3, Table 9.
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

// A class request's name, as the standards write it without the USB488_
// prefix; nullptr for a request neither standard defines.
constexpr const char* request_name(std::uint8_t request) {
    switch (request) {
        case INITIATE_ABORT_BULK_OUT:
            return "INITIATE_ABORT_BULK_OUT";
        case CHECK_ABORT_BULK_OUT_STATUS:
            return "CHECK_ABORT_BULK_OUT_STATUS";
        case INITIATE_ABORT_BULK_IN:
            return "INITIATE_ABORT_BULK_IN";
        case CHECK_ABORT_BULK_IN_STATUS:
            return "CHECK_ABORT_BULK_IN_STATUS";
        case INITIATE_CLEAR:
            return "INITIATE_CLEAR";
        case CHECK_CLEAR_STATUS:
            return "CHECK_CLEAR_STATUS";
        case GET_CAPABILITIES:
            return "GET_CAPABILITIES";
        case INDICATOR_PULSE:
            return "INDICATOR_PULSE";
        case USB488_READ_STATUS_BYTE:
            return "READ_STATUS_BYTE";
        case USB488_REN_CONTROL:
            return "REN_CONTROL";
        case USB488_GO_TO_LOCAL:
            return "GO_TO_LOCAL";
        case USB488_LOCAL_LOCKOUT:
            return "LOCAL_LOCKOUT";
        default:
            return nullptr;
    }
}

// Every class request is device-to-host (USBTMC 1.0, 4.2.1; USB488 1.0, 4.3;
// the bits: USBTMC 1.0, 4.2, Table 14): the aborts go to the endpoint (Tables
// 18, 21, 24, 27), the rest to the interface (Tables 30, 33, 36, 38; USB488
// 1.0, Tables 11, 15, 17, 19).
constexpr std::uint8_t kRequestTypeInterfaceIn = 0xA1;
constexpr std::uint8_t kRequestTypeEndpointIn = 0xA2;

// USBTMC_status values in class request responses: USBTMC 1.0, 4.2.1, Table 16.
// A value of 0x80 or more is a failure; the other bytes of such an answer
// mean nothing.
constexpr std::uint8_t STATUS_SUCCESS = 0x01;
constexpr std::uint8_t STATUS_PENDING = 0x02;
constexpr std::uint8_t STATUS_FAILED = 0x80;
constexpr std::uint8_t STATUS_TRANSFER_NOT_IN_PROGRESS = 0x81;
constexpr std::uint8_t STATUS_SPLIT_NOT_IN_PROGRESS = 0x82;
constexpr std::uint8_t STATUS_SPLIT_IN_PROGRESS = 0x83;
// USB488: READ_STATUS_BYTE refused while the notification of an earlier one
// still waits to be sent on interrupt-IN. USB488 1.0, 4.3, Table 10 and
// 4.3.1.2 say only that the interrupt-IN FIFO is full: a service request
// notification may be what fills it.
constexpr std::uint8_t STATUS_INTERRUPT_IN_BUSY = 0x20;

// Response lengths of the class requests (wLength): USBTMC 1.0, Tables 18,
// 24 (initiate abort), 21, 27 (check abort), 30, 33 (clear), 36 (capabilities).
constexpr std::size_t kCapabilitiesLength = 0x18;
constexpr std::size_t kInitiateAbortLength = 2;
constexpr std::size_t kCheckAbortLength = 8;
constexpr std::size_t kInitiateClearLength = 1;
constexpr std::size_t kCheckClearLength = 2;

// GET_CAPABILITIES bytes and bits: USBTMC 1.0, 4.2.1.8, Table 37 (bytes 4
// and 5); USB488 1.0, 4.2.2, Table 8 (bytes 12 to 15, bcdUSB488 at 12).
constexpr std::size_t kCapsInterface = 4;                   // USBTMC interface capabilities
constexpr std::size_t kCapsDevice = 5;                      // USBTMC device capabilities
constexpr std::size_t kCapsUsb488Interface = 14;            // USB488 interface capabilities
constexpr std::size_t kCapsUsb488Device = 15;               // USB488 device capabilities
constexpr std::uint8_t kInterfaceCapIndicatorPulse = 0x04;  // byte 4
constexpr std::uint8_t kDeviceCapTermChar = 0x01;           // byte 5
constexpr std::uint8_t kUsb488CapTrigger = 0x01;            // byte 14: accepts TRIGGER
constexpr std::uint8_t kUsb488CapRemoteLocal =
    0x02;  // byte 14: REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT
constexpr std::uint8_t kUsb488CapIeee4882 = 0x04;  // byte 14: an IEEE 488.2 interface
constexpr std::uint8_t kUsb488DeviceDt1 = 0x01;    // byte 15: device trigger
constexpr std::uint8_t kUsb488DeviceRl1 = 0x02;    // byte 15: remote/local
constexpr std::uint8_t kUsb488DeviceSr1 = 0x04;    // byte 15: service request
constexpr std::uint8_t kUsb488DeviceScpi = 0x08;   // byte 15: SCPI

// READ_STATUS_BYTE: wValue holds the bTag, 2..127; the answer is
// USBTMC_status, bTag and the status byte (0 when the interface has an
// interrupt-IN endpoint, which then carries the status byte).
// USB488 1.0, 4.3.1, Table 11; answers 4.3.1.1, Table 12 and 4.3.1.2, Table 13.
constexpr std::size_t kReadStatusByteLength = 3;
constexpr std::uint8_t kMinStatusTag = 2;
constexpr std::uint8_t kMaxStatusTag = 127;

// Interrupt-IN notifications: bNotify1, bNotify2 (USBTMC 1.0, 3.4, Table 13:
// bNotify1 D7 set for a subclass notification, clear for a vendor's or a
// reserved one). USB488's are two bytes: USB488 1.0, Tables 6 and 7.
constexpr std::size_t kNotificationSize = 2;
// bNotify1 of a service request; bNotify2 is the status byte, RQS set.
// USB488 1.0, 3.4.1, Table 6 (bTag 1, hence READ_STATUS_BYTE's 2..127).
constexpr std::uint8_t kNotifyServiceRequest = 0x81;
// bNotify1 of the answer to READ_STATUS_BYTE with `tag`; bNotify2 is the
// status byte. USB488 1.0, 3.4.2, Table 7.
constexpr std::uint8_t notify_status_byte(std::uint8_t tag) {
    return static_cast<std::uint8_t>(0x80 | (tag & 0x7F));
}

// Status byte bits (IEEE 488.2) that USB488 hosts look at: MAV as USB488 1.0,
// 4.3.1.3 uses it; RQS, which 3.4.1 has the device clear once it has queued
// a service request.
constexpr std::uint8_t kStbMessageAvailable = 0x10;  // MAV
constexpr std::uint8_t kStbRequestService = 0x40;    // RQS in a serial poll, MSS in *STB?

// bmTransferAttributes bits (byte 8): EOM, USBTMC 1.0, Tables 3 and 9, D0;
// TermCharEnabled, Table 4, D1, which the host sets only when GET_CAPABILITIES
// says the device supports TermChar (Table 37, byte 5, D0); and the
// device's answer that it ended the transfer at TermChar, Table 9, D1.
constexpr std::uint8_t kAttrEom = 0x01;              // DEV_DEP_MSG_OUT and DEV_DEP_MSG_IN
constexpr std::uint8_t kAttrTermCharEnabled = 0x02;  // REQUEST_DEV_DEP_MSG_IN
constexpr std::uint8_t kAttrTermCharEnded = 0x02;    // DEV_DEP_MSG_IN

// The Bulk-OUT header (USBTMC 1.0, 3.2, Table 1) and the Bulk-IN header
// (3.3, Table 8) share this layout; bytes 4 to 11 are the message's own
// (Tables 3, 4, 5, 6, 9, 10; TRIGGER: USB488 1.0, 3.2.1.1, Table 2).
constexpr std::size_t kHeaderSize = 12;

struct BulkHeader {
    std::uint8_t msg_id = 0;
    std::uint8_t tag = 0;
    std::uint32_t transfer_size = 0;
    std::uint8_t attributes = 0;
    std::uint8_t term_char = 0;  // REQUEST_DEV_DEP_MSG_IN only (USBTMC 1.0, Table 4)
};

// Writes the 12-byte header: MsgID, bTag, ~bTag, 0, TransferSize (LE),
// bmTransferAttributes, TermChar, 0, 0. bTag is 1..255 (USBTMC 1.0, 3.2,
// Table 1), bTagInverse its one's complement; reserved bytes are 0.
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
// (A Bulk-IN header echoes the request's MsgID, bTag and bTagInverse:
// USBTMC 1.0, 3.3, Table 8; a host's handling of a bad one: 3.3.2.3, Table 11.)
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
// Required of every Bulk-OUT transfer (USBTMC 1.0, 3.2, rule 2); a device's
// Bulk-IN alignment bytes are optional, 0 up to wMaxPacketSize - 1 (3.3, rule 10).
constexpr std::size_t padding_for(std::size_t n) {
    return (4 - n % 4) % 4;
}

}  // namespace sgproto::usbtmc
