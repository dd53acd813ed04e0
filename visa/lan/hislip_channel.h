// One of a HiSLIP session's two connections, as messages: each message sent
// in one sendmsg(2) (header and payload together), and each received one
// read as its header, then its payload, which the caller takes where it
// wants it: a Data message's straight into the reader's buffer, a control
// message's into a small one. A payload not taken is skipped before the
// next header is read, so the stream never loses its place; a header
// without the "HS" prologue means it has, and the channel is broken for
// good (VI_ERROR_IO, then VI_ERROR_CONN_LOST).
//
// The 64-bit payload length never sizes a buffer: bytes are taken as they
// come, at most what the caller gives room for.
//
// Every message in either direction goes to the transfers trace, decoded
// (type, control code, MessageID or parameter, payload length).
//
// One thread reads and one writes at a time (sending is locked apart from
// receiving, so the asynchronous channel's reader may answer while a
// request goes out).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "proto/hislip.h"
#include "tcp_connection.h"
#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::lan {

namespace hs = sgproto::hislip;

class HislipChannel {
  public:
    // `name` ("sync", "async") labels its trace lines.
    HislipChannel(std::unique_ptr<TcpConnection> connection, const char* name);

    // One message; `payload` may be empty.
    ViStatus send(hs::MessageType type, std::uint8_t control, std::uint32_t parameter,
                  std::span<const std::uint8_t> payload, Deadline deadline, int cancel_fd);
    ViStatus send(hs::MessageType type, std::uint8_t control, std::uint32_t parameter,
                  std::string_view text, Deadline deadline, int cancel_fd) {
        return send(type, control, parameter,
                    {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, deadline,
                    cancel_fd);
    }

    // The next message's header, the current message's untaken payload
    // skipped first.
    ViStatus read_header(hs::Header& header, Deadline deadline, int cancel_fd);
    // Payload bytes of the current message not taken yet.
    std::uint64_t payload_left() const { return left_; }
    // Takes at least one and at most out.size() bytes of the payload left
    // (none when none is left), receiving straight into `out` where what
    // was read ahead does not cover it.
    ViStatus read_payload_some(std::span<std::uint8_t> out, Deadline deadline, int cancel_fd,
                               std::size_t& got);
    // The whole payload left, when it is at most `most` bytes: into `out`.
    // A longer one is skipped and is VI_ERROR_IO.
    ViStatus read_payload(std::vector<std::uint8_t>& out, std::size_t most, Deadline deadline,
                          int cancel_fd);
    // Drops the payload left, as it comes.
    ViStatus skip_payload(Deadline deadline, int cancel_fd);

    bool lost() const { return broken_ || connection_->lost(); }
    TcpConnection& connection() { return *connection_; }
    const char* name() const { return name_; }

  private:
    // Whatever has come (into the read-ahead buffer), waiting for it.
    ViStatus fill(Deadline deadline, int cancel_fd);

    std::unique_ptr<TcpConnection> connection_;
    const char* name_;
    std::mutex send_mutex_;
    std::vector<std::uint8_t> ahead_;  // read ahead: [at_, end_) not taken yet
    std::size_t at_ = 0;
    std::size_t end_ = 0;
    std::uint64_t left_ = 0;  // of the current message's payload
    std::atomic<bool> broken_{false};  // read by the sending thread too
};

}  // namespace sgvisa::lan
