// What a device sent past the count of the read that asked for it.
//
// A read that goes on with a message (the read before ended without END)
// asks the device for a whole transfer, however few bytes it wants: a
// program that reads a long reply in small counts (PyVISA reads in 20 KiB)
// would otherwise pay a request and its answer per count. What the read
// does not take waits here, and the next read takes it without asking the
// device. The bytes are the rest of the message being read, as the device
// would have sent them to the next request; the owner drops them wherever
// the device would drop its unread reply (a new message, a device clear).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "transport/transport.h"

namespace sgvisa::usbtmc {

class ReadAhead {
  public:
    bool empty() const { return begin_ == end_; }

    // Room for the data of one transfer of up to `size` bytes; what was kept
    // is dropped. Fill it, then keep() what came.
    std::span<std::uint8_t> room(std::size_t size);

    // The first `count` bytes of room() came, the last of them with END
    // (`end`) or ending a transfer the device stopped at the TermChar of a
    // read with `stop` (`term_char`).
    void keep(std::size_t count, bool end, bool term_char, const ReadStop& stop);

    // Moves the next kept bytes, at most buf.size(), into `buf`. END comes
    // with the last kept byte; the device's TermChar stop too, but only for
    // a read that stops at the same TermChar (for another read the message
    // simply goes on with the next request).
    ReadResult take(std::span<std::uint8_t> buf, const ReadStop& stop);

    void drop() { begin_ = end_ = 0; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // the kept bytes are [begin_, end_)
    std::size_t end_ = 0;
    bool end_flag_ = false;
    bool term_flag_ = false;
    ReadStop stop_;
};

}  // namespace sgvisa::usbtmc
