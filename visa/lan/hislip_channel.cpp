#include "hislip_channel.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "hislip_text.h"
#include "trace/trace_reason.h"

namespace sgvisa::lan {

namespace {

// Read ahead in pieces this size: a header and the small messages behind
// it in one recv; a Data payload past what came with its header goes
// straight into the reader's buffer.
constexpr std::size_t kAhead = 64 * 1024;
// A payload the caller wants into its own buffer, when at least this long,
// is received there directly rather than through the read-ahead buffer.
constexpr std::size_t kDirect = 4096;

// How long a message given up on halfway may take to go out whole.
constexpr auto kFinishBound = std::chrono::milliseconds(1000);

}  // namespace

HislipChannel::HislipChannel(std::unique_ptr<TcpConnection> connection, const char* name)
    : connection_(std::move(connection)), name_(name), ahead_(kAhead) {}

ViStatus HislipChannel::send(hs::MessageType type, std::uint8_t control, std::uint32_t parameter,
                             std::span<const std::uint8_t> payload, Deadline deadline,
                             int cancel_fd) {
    const hs::Header h{static_cast<std::uint8_t>(type), control, parameter, payload.size()};
    const auto header = hs::encode_header(h);
    const iovec parts[2] = {{const_cast<std::uint8_t*>(header.data()), header.size()},
                            {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
    trace_hislip_message(name_, true, h, payload);
    std::lock_guard lock(send_mutex_);
    if (broken_)
        return VI_ERROR_CONN_LOST;
    const std::span<const iovec> message(parts, payload.empty() ? 1 : 2);
    std::size_t sent = 0;
    const ViStatus st = connection_->send(message, deadline, cancel_fd, &sent);
    const std::size_t total = hs::kHeaderSize + payload.size();
    if (st == VI_SUCCESS || sent == 0 || sent >= total)
        return st;
    // Given up on halfway: the rest goes all the same (bounded, whatever
    // the cancel), or the server would read what follows as this payload.
    std::vector<iovec> rest(message.begin(), message.end());
    std::size_t skip = sent;
    for (iovec& part : rest) {
        const std::size_t n = std::min(skip, part.iov_len);
        part.iov_base = static_cast<std::uint8_t*>(part.iov_base) + n;
        part.iov_len -= n;
        skip -= n;
    }
    if (connection_->send(rest, Clock::now() + kFinishBound, -1) != VI_SUCCESS)
        broken_ = true;
    return st;
}

ViStatus HislipChannel::fill(Deadline deadline, int cancel_fd) {
    if (at_ == end_)
        at_ = end_ = 0;
    else if (end_ == ahead_.size()) {
        std::memmove(ahead_.data(), ahead_.data() + at_, end_ - at_);
        end_ -= at_;
        at_ = 0;
    }
    std::size_t got = 0;
    const ViStatus st = connection_->receive_some(
        std::span<std::uint8_t>(ahead_.data() + end_, ahead_.size() - end_), deadline, cancel_fd,
        got);
    end_ += got;
    return st;
}

ViStatus HislipChannel::read_header(hs::Header& header, Deadline deadline, int cancel_fd) {
    if (broken_)
        return VI_ERROR_CONN_LOST;
    if (left_ > 0) {
        const ViStatus st = skip_payload(deadline, cancel_fd);
        if (st != VI_SUCCESS)
            return st;
    }
    while (end_ - at_ < hs::kHeaderSize) {
        const ViStatus st = fill(deadline, cancel_fd);
        if (st != VI_SUCCESS)
            return st;
    }
    if (!hs::decode_header(
            std::span<const std::uint8_t, hs::kHeaderSize>(ahead_.data() + at_, hs::kHeaderSize),
            header)) {
        broken_ = true;
        trace::note_reason([&] {
            return std::string("the instrument's HiSLIP ") + name_ +
                   " channel sent a message without the HS prologue: the connection lost its "
                   "place and cannot be used";
        });
        return VI_ERROR_IO;
    }
    at_ += hs::kHeaderSize;
    left_ = header.length;
    // What of the payload came with the header is traced with it.
    trace_hislip_message(name_, false, header,
                         std::span<const std::uint8_t>(
                             ahead_.data() + at_, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                      {left_, end_ - at_, std::uint64_t{64}}))));
    return VI_SUCCESS;
}

ViStatus HislipChannel::read_payload_some(std::span<std::uint8_t> out, Deadline deadline,
                                          int cancel_fd, std::size_t& got) {
    got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left_, out.size()));
    if (want == 0)
        return VI_SUCCESS;
    if (at_ == end_ && want >= kDirect) {
        const ViStatus st = connection_->receive_some(out.first(want), deadline, cancel_fd, got);
        left_ -= got;
        return st;
    }
    if (at_ == end_) {
        const ViStatus st = fill(deadline, cancel_fd);
        if (st != VI_SUCCESS)
            return st;
    }
    got = std::min(want, end_ - at_);
    std::memcpy(out.data(), ahead_.data() + at_, got);
    at_ += got;
    left_ -= got;
    return VI_SUCCESS;
}

ViStatus HislipChannel::read_payload(std::vector<std::uint8_t>& out, std::size_t most,
                                     Deadline deadline, int cancel_fd) {
    out.clear();
    if (left_ > most) {
        trace::note_reason([&] {
            return std::string("the instrument sent a HiSLIP ") + name_ + " message of " +
                   std::to_string(left_) + " bytes where at most " + std::to_string(most) +
                   " were expected";
        });
        const ViStatus st = skip_payload(deadline, cancel_fd);
        return st != VI_SUCCESS ? st : VI_ERROR_IO;
    }
    // Grows with what arrives, never with what the header says.
    while (left_ > 0) {
        const std::size_t at = out.size();
        out.resize(at + std::min<std::size_t>(static_cast<std::size_t>(left_), kAhead));
        std::size_t got = 0;
        const ViStatus st =
            read_payload_some(std::span<std::uint8_t>(out).subspan(at), deadline, cancel_fd, got);
        out.resize(at + got);
        if (st != VI_SUCCESS)
            return st;
    }
    return VI_SUCCESS;
}

ViStatus HislipChannel::skip_payload(Deadline deadline, int cancel_fd) {
    while (left_ > 0) {
        if (at_ == end_) {
            const ViStatus st = fill(deadline, cancel_fd);
            if (st != VI_SUCCESS)
                return st;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, end_ - at_));
        at_ += n;
        left_ -= n;
    }
    return VI_SUCCESS;
}

}  // namespace sgvisa::lan
