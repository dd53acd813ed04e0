#include "proto/rpc_record.h"

#include <algorithm>

namespace sgproto::oncrpc {

std::uint32_t encode_fragment_header(const FragmentHeader& h) {
    return (h.last ? kLastFragment : 0) | (h.length & kMaxFragmentLength);
}

FragmentHeader decode_fragment_header(std::uint32_t word) {
    return {(word & kLastFragment) != 0, word & kMaxFragmentLength};
}

std::size_t begin_record(Bytes& out) {
    const std::size_t start = out.size();
    out.resize(start + kFragmentHeaderSize, 0);
    return start;
}

bool end_record(Bytes& out, std::size_t start) {
    const std::size_t length = out.size() - start - kFragmentHeaderSize;
    if (length > kMaxFragmentLength)
        return false;
    const std::uint32_t word = encode_fragment_header({true, static_cast<std::uint32_t>(length)});
    for (std::size_t i = 0; i < kFragmentHeaderSize; ++i)
        out[start + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
    return true;
}

RecordReader::Status RecordReader::feed(ByteView in, std::size_t& taken) {
    std::size_t pos = 0;
    while (status_ == Status::need_more && pos < in.size()) {
        if (!in_fragment_) {
            const std::size_t n = std::min(kFragmentHeaderSize - header_got_, in.size() - pos);
            std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(pos), n, header_ + header_got_);
            header_got_ += n;
            pos += n;
            if (header_got_ < kFragmentHeaderSize)
                break;
            const FragmentHeader h =
                decode_fragment_header(static_cast<std::uint32_t>(header_[0]) << 24 |
                                       static_cast<std::uint32_t>(header_[1]) << 16 |
                                       static_cast<std::uint32_t>(header_[2]) << 8 | header_[3]);
            header_got_ = 0;
            // Judged on the header alone: the bytes are not awaited first.
            if (h.length > max_ - size_) {
                status_ = Status::too_large;
                break;
            }
            in_fragment_ = true;
            fragment_left_ = h.length;
            last_ = h.last;
        }
        const std::size_t n = std::min(fragment_left_, in.size() - pos);
        const std::span<std::uint8_t> room = fragment_room(n);
        std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(pos), n, room.begin());
        pos += n;
        fill(n);
    }
    taken += pos;
    return status_;
}

std::span<std::uint8_t> RecordReader::fragment_room(std::size_t most) {
    if (status_ != Status::need_more || !in_fragment_)
        return {};
    const std::size_t n = std::min(most, fragment_left_);
    if (record_.size() < size_ + n)
        record_.resize(size_ + n);
    return {record_.data() + size_, n};
}

RecordReader::Status RecordReader::fill(std::size_t n) {
    if (status_ != Status::need_more || !in_fragment_)
        return status_;
    n = std::min({n, fragment_left_, record_.size() - size_});
    size_ += n;
    fragment_left_ -= n;
    if (fragment_left_ == 0) {
        in_fragment_ = false;
        if (last_)
            status_ = Status::record;
    }
    return status_;
}

void RecordReader::next() {
    size_ = 0;
    header_got_ = 0;
    fragment_left_ = 0;
    in_fragment_ = false;
    last_ = false;
    status_ = Status::need_more;
}

std::size_t RecordReader::wanted() const {
    if (status_ != Status::need_more)
        return 0;
    return in_fragment_ ? fragment_left_ : kFragmentHeaderSize - header_got_;
}

}  // namespace sgproto::oncrpc
