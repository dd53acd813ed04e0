#include "read_ahead.h"

#include <algorithm>

namespace sgvisa::usbtmc {

std::span<std::uint8_t> ReadAhead::room(std::size_t size) {
    drop();
    if (capacity_ < size) {
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        capacity_ = size;
    }
    return {bytes_.get(), size};
}

void ReadAhead::keep(std::size_t count, bool end, bool term_char, const ReadStop& stop) {
    begin_ = 0;
    end_ = std::min(count, capacity_);
    end_flag_ = end;
    term_flag_ = term_char;
    stop_ = stop;
}

ReadResult ReadAhead::take(std::span<std::uint8_t> buf, const ReadStop& stop) {
    ReadResult r;
    r.count = std::min(buf.size(), end_ - begin_);
    std::copy_n(bytes_.get() + begin_, r.count, buf.begin());
    begin_ += r.count;
    if (begin_ == end_) {
        r.end = end_flag_;
        r.term_char = term_flag_ && stop.term_char_enabled && stop_.term_char_enabled &&
                      stop.term_char == stop_.term_char;
        drop();
    }
    return r;
}

}  // namespace sgvisa::usbtmc
