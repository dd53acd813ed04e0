// Reading a reply: what a read may stop at, how it ended, and the bytes of
// the reply that a transport took from the instrument but no read has
// taken yet.
//
// A transport may take more of a reply than the read in hand wants: a read
// that goes on with a message asks the instrument for a whole transfer,
// however few bytes it wants (a program that reads a long reply in small
// counts, as PyVISA does in 20 KiB, would otherwise pay a request and its
// answer per count), and an instrument that does not stop at the
// termination character sends what follows it in the same transfer. Those
// bytes are the rest of the reply, as the instrument would have sent them
// to the next request: the next read takes them before asking it again.
// Wherever the instrument drops its unread reply (a new message, a device
// clear) they are dropped too, and so are they when the program discards
// its input (viFlush).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace sgvisa {

// What a read may stop at besides the end of the message.
struct ReadStop {
    bool term_char_enabled = false;
    std::uint8_t term_char = '\n';
};

// How a read ended.
struct ReadResult {
    std::size_t count = 0;   // bytes stored
    bool end = false;        // the last byte stored carried END
    bool term_char = false;  // the read ended at the termination character
};

class UnreadReply {
  public:
    bool empty() const { return begin_ == end_; }

    // Room for the data of one transfer of up to `size` bytes; what was kept
    // is dropped. Fill it, then keep() what came.
    std::span<std::uint8_t> room(std::size_t size);
    // The first `count` bytes of room() came, the last of them with END
    // when `end`.
    void keep(std::size_t count, bool end);
    // Keeps a copy of `bytes` (what followed a termination character in a
    // read's own buffer), the last of them with END when `end`.
    void keep_copy(std::span<const std::uint8_t> bytes, bool end);

    // Moves the next kept bytes into `buf`: as many as fit, up to and
    // including the first termination character when `stop` enables one
    // (result.term_char). END comes with the last kept byte.
    ReadResult take(std::span<std::uint8_t> buf, const ReadStop& stop);

    void drop() { begin_ = end_ = 0; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // the kept bytes are [begin_, end_)
    std::size_t end_ = 0;
    bool end_flag_ = false;
};

// A read that went straight into `buf` (`result` says how it ended) stops
// at the first termination character `stop` enables, where the instrument
// did not stop itself: what follows it is kept in `unread` for the next
// read, with the END it came with.
void stop_at_term_char(std::span<std::uint8_t> buf, const ReadStop& stop, ReadResult& result,
                       UnreadReply& unread);

}  // namespace sgvisa
