// USB488's small messages, as a host reads them: the READ_STATUS_BYTE
// control answer and the interrupt-IN notifications. Pure functions of the
// bytes, so that any bytes a device sends can be checked against them.
//
// READ_STATUS_BYTE (bTag 2..127) answers USBTMC_status, bTag and a status
// byte; when the interface has an interrupt-IN endpoint that byte is 0 and
// the status byte comes as a notification: bNotify1 = 0x80 | bTag, bNotify2 =
// status byte. A service request comes as bNotify1 = 0x81, bNotify2 = status
// byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sgvisa::usb488 {

constexpr std::uint8_t kFirstStatusTag = 2;
constexpr std::uint8_t kLastStatusTag = 127;
constexpr std::uint8_t kServiceRequest = 0x81;
constexpr std::size_t kReadStatusByteLength = 3;

// The bTag after `tag` for READ_STATUS_BYTE (2..127, then 2 again).
std::uint8_t next_status_tag(std::uint8_t tag);

struct StatusAnswer {
    bool valid = false;  // successful, and for the request tagged so
    std::uint8_t status_byte = 0;
};

// A READ_STATUS_BYTE control answer of `got` bytes for the request `tag`.
StatusAnswer parse_status_answer(std::span<const std::uint8_t> answer, std::uint8_t tag);

struct Notification {
    enum class Kind { status_byte, service_request, unknown } kind = Kind::unknown;
    std::uint8_t tag = 0;  // status_byte: the request's bTag
    std::uint8_t status_byte = 0;
};

// One interrupt-IN packet; anything but the two USB488 notifications
// (short, or an unknown bNotify1) is `unknown` and to be dropped.
Notification parse_notification(std::span<const std::uint8_t> packet);

}  // namespace sgvisa::usb488
