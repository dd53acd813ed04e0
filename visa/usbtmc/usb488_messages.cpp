#include "usb488_messages.h"

#include "usbtmc.h"

namespace sgvisa::usb488 {

std::uint8_t next_status_tag(std::uint8_t tag) {
    return tag < kFirstStatusTag || tag >= kLastStatusTag ? kFirstStatusTag
                                                          : static_cast<std::uint8_t>(tag + 1);
}

StatusAnswer parse_status_answer(std::span<const std::uint8_t> answer, std::uint8_t tag) {
    StatusAnswer out;
    if (answer.size() < kReadStatusByteLength || answer[0] != sgproto::usbtmc::STATUS_SUCCESS ||
        answer[1] != tag)
        return out;
    out.valid = true;
    out.status_byte = answer[2];
    return out;
}

Notification parse_notification(std::span<const std::uint8_t> packet) {
    Notification n;
    if (packet.size() < 2 || (packet[0] & 0x80) == 0)
        return n;
    const std::uint8_t tag = packet[0] & 0x7F;
    n.status_byte = packet[1];
    if (packet[0] == kServiceRequest) {
        n.kind = Notification::Kind::service_request;
    } else if (tag >= kFirstStatusTag && tag <= kLastStatusTag) {
        n.kind = Notification::Kind::status_byte;
        n.tag = tag;
    }
    return n;
}

}  // namespace sgvisa::usb488
