#include "attach/packet_stream.h"

#include <algorithm>

namespace sgsim {

void PacketStream::write(std::vector<std::uint8_t> transfer) {
    if (shape_.leading_empty)
        pieces_.emplace_back();
    if (transfer.empty()) {
        pieces_.emplace_back();
        return;
    }
    const bool ends_with_zlp = zlp_after(transfer.size(), shape_);
    pieces_.push_back(std::move(transfer));
    if (ends_with_zlp)
        pieces_.emplace_back();
}

bool PacketStream::read(std::size_t max, std::vector<std::uint8_t>& out) {
    return take(max, out, false);
}

void PacketStream::take_received(std::size_t max, std::vector<std::uint8_t>& out) {
    take(max, out, true);
}

bool PacketStream::take(std::size_t max, std::vector<std::uint8_t>& out, bool unended) {
    // Where the read ends: before byte `end_at` of piece `end_piece`.
    std::size_t collected = 0;
    std::size_t end_piece = 0;
    std::size_t end_at = 0;
    bool ended = false;
    std::size_t at = pos_;
    for (std::size_t i = 0; i < pieces_.size() && !ended; ++i, at = 0) {
        const Piece& piece = pieces_[i];
        if (piece.empty()) {  // a zero-length packet
            ended = true;
            end_piece = i + 1;
            break;
        }
        while (at < piece.size()) {
            const std::size_t packet_start = at / shape_.packet_limit * shape_.packet_limit;
            const std::size_t packet_end =
                std::min(packet_start + shape_.packet_limit, piece.size());
            const std::size_t n = std::min(packet_end - at, max - collected);
            collected += n;
            at += n;
            if (collected == max || packet_end - packet_start < shape_.max_packet) {
                ended = true;
                end_piece = i;
                end_at = at;
                break;
            }
        }
    }
    if (!ended && !unended)
        return false;
    if (!ended)
        end_piece = pieces_.size();  // all of it: a read that waits holds less than `max`
    if (end_piece < pieces_.size() && end_at == pieces_[end_piece].size()) {
        ++end_piece;
        end_at = 0;
    }

    // The common case, one whole transfer, is handed over without a copy.
    if (pos_ == 0 && end_piece == 1 && end_at == 0 && !pieces_.empty()) {
        out = std::move(pieces_.front());
        out.resize(collected);
        pieces_.pop_front();
        return true;
    }
    out.clear();
    out.reserve(collected);
    for (std::size_t i = 0; i < end_piece; ++i) {
        const Piece& piece = pieces_.front();
        out.insert(out.end(), piece.begin() + static_cast<std::ptrdiff_t>(pos_), piece.end());
        pieces_.pop_front();
        pos_ = 0;
    }
    if (end_at > 0) {
        const Piece& piece = pieces_.front();
        out.insert(out.end(), piece.begin() + static_cast<std::ptrdiff_t>(pos_),
                   piece.begin() + static_cast<std::ptrdiff_t>(end_at));
        pos_ = end_at;
    }
    return true;
}

bool PacketStream::read_through(std::vector<std::uint8_t>& transfer, std::size_t max) {
    const std::size_t n = transfer.size();
    // A short last packet ends the read, and so does a zero-length packet
    // after a full one, unless the read is filled before it.
    const bool whole = pieces_.empty() && !shape_.leading_empty &&
                       shape_.packet_limit == shape_.max_packet && n > 0 && n <= max &&
                       (n % shape_.max_packet != 0 ? true : shape_.zlp && n < max);
    if (!whole)
        write(std::move(transfer));
    return whole;
}

void PacketStream::clear() {
    pieces_.clear();
    pos_ = 0;
}

}  // namespace sgsim
