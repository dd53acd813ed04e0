#include "transport/unread_reply.h"

#include <algorithm>

namespace sgvisa {

std::span<std::uint8_t> UnreadReply::room(std::size_t size) {
    drop();
    if (capacity_ < size) {
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        capacity_ = size;
    }
    return {bytes_.get(), size};
}

void UnreadReply::keep(std::size_t count, bool end) {
    begin_ = 0;
    end_ = std::min(count, capacity_);
    end_flag_ = end;
}

void UnreadReply::keep_copy(std::span<const std::uint8_t> bytes, bool end) {
    const std::span<std::uint8_t> to = room(bytes.size());
    std::copy(bytes.begin(), bytes.end(), to.begin());
    keep(bytes.size(), end);
}

ReadResult UnreadReply::take(std::span<std::uint8_t> buf, const ReadStop& stop) {
    ReadResult r;
    const std::uint8_t* first = bytes_.get() + begin_;
    std::size_t n = std::min(buf.size(), end_ - begin_);
    if (stop.term_char_enabled) {
        const std::uint8_t* at = std::find(first, first + n, stop.term_char);
        if (at != first + n) {
            n = static_cast<std::size_t>(at - first) + 1;
            r.term_char = true;
        }
    }
    std::copy_n(first, n, buf.begin());
    r.count = n;
    begin_ += n;
    if (begin_ == end_) {
        r.end = end_flag_;
        drop();
    }
    return r;
}

void stop_at_term_char(std::span<std::uint8_t> buf, const ReadStop& stop, ReadResult& result,
                       UnreadReply& unread) {
    if (!stop.term_char_enabled || result.term_char)
        return;
    const auto first = buf.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(std::min(result.count, buf.size()));
    const auto at = std::find(first, last, stop.term_char);
    if (at == last)
        return;
    result.term_char = true;
    if (at + 1 == last)
        return;  // END, if it came, is on the termination character itself
    unread.keep_copy(std::span<const std::uint8_t>(at + 1, last), result.end);
    result.end = false;
    result.count = static_cast<std::size_t>(at + 1 - first);
}

}  // namespace sgvisa
