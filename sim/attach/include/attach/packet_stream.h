// The local bus's model of the device's bulk-IN FIFO as a host controller
// sees it: the transfers the device writes become a stream of packets
// (packet_shape.h), and a host's bulk-IN read of at most `max` bytes ends at
// a short packet (taken with it), at a zero-length packet (taken, adding
// nothing), or when `max` bytes are filled; what is left stays for the next
// read. So a transfer that fills its last packet and has no zero-length
// packet after it runs on into the next transfer's bytes, and a read that
// fills exactly at a full packet leaves the zero-length packet after it for
// the next read, as on a real bus. Packet boundaries stay where the device
// made them: a read that ends inside a packet (a `max` that is not a whole
// number of packets) leaves the rest of that packet to the next read, which
// goes on past it when the packet is a full one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "attach/packet_shape.h"

namespace sgsim {

class PacketStream {
  public:
    explicit PacketStream(PacketShape shape) : shape_(shape) {}

    // The device writes one transfer (an empty one is a zero-length packet).
    void write(std::vector<std::uint8_t> transfer);

    // A host's bulk-IN read of at most `max` (> 0) bytes: true with `out`
    // holding what it gets when what the stream holds ends it; false, taking
    // nothing, while the read would have to wait for more packets.
    bool read(std::size_t max, std::vector<std::uint8_t>& out);

    // A read of `max` bytes that read() left waiting is cancelled: `out`
    // gets the packets it had received meanwhile, as a host controller's
    // cancelled transfer keeps them; they are gone from the stream.
    void take_received(std::size_t max, std::vector<std::uint8_t>& out);

    // The common case without a copy or a queue: when the stream is empty
    // and a read of `max` bytes would take all of `transfer` (written now)
    // and leave nothing behind, returns true and leaves `transfer` as the
    // read's answer; otherwise writes it and returns false.
    bool read_through(std::vector<std::uint8_t>& transfer, std::size_t max);

    bool empty() const { return pieces_.empty(); }
    void clear();

  private:
    // A transfer's bytes, or a zero-length packet (no bytes).
    using Piece = std::vector<std::uint8_t>;

    // read(), and with `unended` also what a read that has not ended got.
    bool take(std::size_t max, std::vector<std::uint8_t>& out, bool unended);

    PacketShape shape_;
    std::deque<Piece> pieces_;
    std::size_t pos_ = 0;  // bytes of the front piece already read
};

}  // namespace sgsim
