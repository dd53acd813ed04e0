#include "device/interrupt_queue.h"

#include <algorithm>

namespace sgsim {
namespace {

bool is_status_answer(const InterruptPacket& packet) {
    return packet[0] != sgproto::usbtmc::kNotifyServiceRequest && (packet[0] & 0x80) != 0;
}

}  // namespace

void InterruptQueue::push(const InterruptPacket& packet) {
    if (packets_.size() == kCapacity)
        packets_.pop_front();
    packets_.push_back(packet);
}

void InterruptQueue::put_back(const InterruptPacket& packet) {
    if (packets_.size() < kCapacity)
        packets_.push_front(packet);
}

std::optional<InterruptPacket> InterruptQueue::pop() {
    if (packets_.empty())
        return std::nullopt;
    const InterruptPacket packet = packets_.front();
    packets_.pop_front();
    return packet;
}

bool InterruptQueue::holds_status_answer() const {
    return std::any_of(packets_.begin(), packets_.end(), is_status_answer);
}

void InterruptQueue::drop_status_answers() {
    std::erase_if(packets_, is_status_answer);
}

}  // namespace sgsim
