// The interrupt-IN packets a USB488 device has made and not yet sent: its
// two-byte notifications, oldest first. The queue is bounded: a packet that
// finds it full pushes the oldest out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "proto/usbtmc.h"

namespace sgsim {

// bNotify1, bNotify2.
using InterruptPacket = std::array<std::uint8_t, sgproto::usbtmc::kNotificationSize>;

class InterruptQueue {
  public:
    static constexpr std::size_t kCapacity = 16;

    void push(const InterruptPacket& packet);
    // A packet taken but never delivered goes back in front, as the oldest
    // (so it is the one dropped when the queue is full).
    void put_back(const InterruptPacket& packet);
    // The oldest packet, taken off the queue; nullopt when empty.
    std::optional<InterruptPacket> pop();

    bool empty() const { return packets_.empty(); }
    std::size_t size() const { return packets_.size(); }

    // True while the answer to a READ_STATUS_BYTE waits in the queue.
    bool holds_status_answer() const;
    // Drops the answers to READ_STATUS_BYTE (whoever asked has gone); the
    // service requests stay.
    void drop_status_answers();

  private:
    std::deque<InterruptPacket> packets_;
};

}  // namespace sgsim
