// Reads a fuzz input front to back as a script of small fields, so that seed
// files can be written by hand (tests/fuzz/make_seeds) and read by eye.
// Past the end every field reads as 0 / empty and exhausted() is true.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sgfuzz {

class ByteScript {
  public:
    ByteScript(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return pos_ >= size_; }

    std::uint8_t byte() { return exhausted() ? 0 : data_[pos_++]; }

    std::uint16_t le16() {
        const std::uint16_t lo = byte();
        return static_cast<std::uint16_t>(lo | byte() << 8);
    }

    // Up to `n` bytes (fewer at the end of the input).
    std::span<const std::uint8_t> bytes(std::size_t n) {
        const std::size_t take = std::min(n, size_ - std::min(pos_, size_));
        std::span<const std::uint8_t> out(data_ + pos_, take);
        pos_ += take;
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace sgfuzz
