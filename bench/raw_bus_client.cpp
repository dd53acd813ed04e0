#include "raw_bus_client.h"

#include "socket_bounds.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>

#include "proto/localbus_frames.h"
#include "proto/usbtmc.h"

namespace sgbench {

namespace lb = sgproto::localbus;
namespace tmc = sgproto::usbtmc;

const char kIdnReply[] = "Simulated Signal Sources,SG-4040,SIM001,1.0\n";

namespace {

// The bulk-IN size the library asks for (the read buffer it uses).
constexpr std::uint32_t kBulkInRequest = 4608;
constexpr std::uint32_t kTransferRequest = 4096;

Bytes usbtmc_transfer(std::uint8_t msg_id, std::uint8_t tag, std::uint32_t size,
                      std::uint8_t attributes, std::span<const std::uint8_t> data) {
    Bytes t(tmc::kHeaderSize + data.size() + tmc::padding_for(data.size()), 0);
    tmc::BulkHeader h;
    h.msg_id = msg_id;
    h.tag = tag;
    h.transfer_size = size;
    h.attributes = attributes;
    tmc::encode_header(h, std::span<std::uint8_t, tmc::kHeaderSize>(t.data(), tmc::kHeaderSize));
    if (!data.empty())
        std::memcpy(t.data() + tmc::kHeaderSize, data.data(), data.size());
    return t;
}

std::span<const std::uint8_t> text_bytes(const char* s) {
    return {reinterpret_cast<const std::uint8_t*>(s), std::strlen(s)};
}

bool send_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace

FrameReader::FrameReader() : buf_(lb::kFrameHeaderSize + lb::kMaxPayload) {}

bool FrameReader::next(int fd, Bytes& frame) {
    for (;;) {
        const std::size_t have = end_ - begin_;
        if (have >= lb::kFrameHeaderSize) {
            lb::FrameHeader h{};
            lb::decode_header(std::span(buf_).subspan(begin_, have), h);
            if (h.length > lb::kMaxPayload)
                return false;
            const std::size_t total = lb::kFrameHeaderSize + h.length;
            if (have >= total) {
                const auto first = buf_.begin() + static_cast<std::ptrdiff_t>(begin_);
                frame.assign(first, first + static_cast<std::ptrdiff_t>(total));
                begin_ += total;
                if (begin_ == end_)
                    begin_ = end_ = 0;
                return true;
            }
        }
        if (begin_ > 0) {  // keep the partial frame at the start
            std::memmove(buf_.data(), buf_.data() + begin_, have);
            begin_ = 0;
            end_ = have;
        }
        const ssize_t k = ::recv(fd, buf_.data() + end_, buf_.size() - end_, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        end_ += static_cast<std::size_t>(k);
    }
}

bool FrameReader::ready() const {
    const std::size_t have = end_ - begin_;
    lb::FrameHeader h{};
    return have >= lb::kFrameHeaderSize &&
           lb::decode_header(std::span(buf_).subspan(begin_, have), h) &&
           have >= lb::kFrameHeaderSize + h.length;
}

QueryFrames idn_query_frames(std::uint32_t seq, std::uint8_t tag) {
    const auto command = text_bytes("*IDN?\n");
    QueryFrames f;
    f.message_out = lb::encode_frame(
        lb::BULK_OUT, 0, seq, 0,
        usbtmc_transfer(tmc::DEV_DEP_MSG_OUT, tag, static_cast<std::uint32_t>(command.size()),
                        tmc::kAttrEom, command));
    const auto next_tag = static_cast<std::uint8_t>(tag + 1);
    f.request_in = lb::encode_frame(
        lb::BULK_OUT, 0, seq + 1, 0,
        usbtmc_transfer(tmc::REQUEST_DEV_DEP_MSG_IN, next_tag, kTransferRequest, 0, {}));
    f.bulk_in = lb::encode_frame(lb::BULK_IN, 0, seq + 2, kBulkInRequest, {});
    return f;
}

Bytes idn_answer_frame(std::uint32_t seq, std::uint8_t tag) {
    const auto reply = text_bytes(kIdnReply);
    const Bytes transfer = usbtmc_transfer(
        tmc::DEV_DEP_MSG_IN, tag, static_cast<std::uint32_t>(reply.size()), tmc::kAttrEom, reply);
    return lb::encode_frame(lb::BULK_IN, 0, seq, 0, transfer);
}

RawBusClient::RawBusClient(int fd, int bound_ms) : fd_(fd) {
    set_bounds(fd_, bound_ms);
}

RawBusClient::~RawBusClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

int RawBusClient::connect_and_claim(const std::string& socket_path, int bound_ms,
                                    std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + socket_path;
        return -1;
    }
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    set_bounds(fd, bound_ms);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = "connect " + socket_path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    Bytes frame;
    FrameReader reader;
    lb::FrameHeader h{};
    if (!reader.next(fd, frame) || !lb::decode_header(frame, h) || h.type != lb::HELLO) {
        error = "no HELLO from " + socket_path;
        ::close(fd);
        return -1;
    }
    const Bytes claim = lb::encode_frame(lb::CLAIM, 0, 1, 0, {});
    if (!send_all(fd, claim.data(), claim.size()) || !reader.next(fd, frame)) {
        error = "no answer to CLAIM from " + socket_path;
        ::close(fd);
        return -1;
    }
    lb::decode_header(frame, h);
    if (h.type != lb::CLAIM || h.status != lb::STATUS_OK) {
        error = "claim refused by " + socket_path;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool RawBusClient::exchange(const Bytes& request, Bytes& answer) {
    return send_all(fd_, request.data(), request.size()) && reader_.next(fd_, answer);
}

bool RawBusClient::query(const QueryFrames& frames, Bytes& reply) {
    // The message, the request for its reply and the bulk-IN that carries
    // the reply go in one write, as the library sends a viQueryf.
    all_.assign(frames.message_out.begin(), frames.message_out.end());
    all_.insert(all_.end(), frames.request_in.begin(), frames.request_in.end());
    all_.insert(all_.end(), frames.bulk_in.begin(), frames.bulk_in.end());
    return send_all(fd_, all_.data(), all_.size()) && reader_.next(fd_, scratch_) &&
           reader_.next(fd_, scratch_) && reader_.next(fd_, reply);
}

void serve_canned_answers(int fd) {
    // Both answers are prepared once; each request only patches the sequence
    // number (and the reply's bTag), so the floor does no work per frame.
    Bytes in_answer = idn_answer_frame(0, 0);
    Bytes ok_answer = lb::encode_frame(lb::BULK_OUT, 0, 0, 0, {});
    constexpr std::size_t kTagOffset = lb::kFrameHeaderSize + 1;
    Bytes frame;
    Bytes out;
    FrameReader reader;
    std::uint8_t last_tag = 0;
    while (reader.next(fd, frame)) {
        lb::FrameHeader h{};
        lb::decode_header(frame, h);
        Bytes* answer = &ok_answer;
        if (h.type == lb::BULK_IN) {
            answer = &in_answer;
            in_answer[kTagOffset] = last_tag;
            in_answer[kTagOffset + 1] = static_cast<std::uint8_t>(~last_tag);
        } else if (h.length >= tmc::kHeaderSize) {
            last_tag = frame[kTagOffset];
        }
        (*answer)[0] = h.type;
        std::copy_n(frame.begin() + lb::kSeqOffset, 4, answer->begin() + lb::kSeqOffset);
        out.insert(out.end(), answer->begin(), answer->end());
        if (reader.ready())
            continue;
        if (!send_all(fd, out.data(), out.size()))
            return;
        out.clear();
    }
}

}  // namespace sgbench
