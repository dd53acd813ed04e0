// Frame I/O on a local bus socket, shared by the link and the opener. Every
// wait is bounded by `deadline`, and ends at once with VI_ERROR_ABORT when
// `cancel_fd` (if not -1) becomes readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "proto/localbus_frames.h"
#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::localbus {

// Sends all of `bytes`. VI_ERROR_TMO leaves `sent` bytes sent.
ViStatus send_all(int fd, std::span<const std::uint8_t> bytes, Deadline deadline, std::size_t& sent,
                  int cancel_fd = -1);

// Bytes received and not yet taken as frames, for a connection that may
// get many small frames at once: each is taken from the front without
// moving the rest.
class FrameBuffer {
  public:
    bool empty() const { return start_ == bytes_.size(); }
    void clear() {
        bytes_.clear();
        start_ = 0;
    }

  private:
    friend ViStatus receive_frame(int, FrameBuffer&, Deadline, sgproto::localbus::FrameHeader&,
                                  std::vector<std::uint8_t>&, int);
    std::vector<std::uint8_t> bytes_;
    std::size_t start_ = 0;
};

// Receives one whole frame, buffering partial input in `rx`. A frame
// already in `rx` is returned without a wait, whatever the deadline: a loop
// that skips frames looks at its deadline (and cancel) itself.
// VI_ERROR_CONN_LOST on end of stream or a reset; VI_ERROR_IO on a frame
// longer than kMaxPayload.
ViStatus receive_frame(int fd, std::vector<std::uint8_t>& rx, Deadline deadline,
                       sgproto::localbus::FrameHeader& header, std::vector<std::uint8_t>& payload,
                       int cancel_fd = -1);
ViStatus receive_frame(int fd, FrameBuffer& rx, Deadline deadline,
                       sgproto::localbus::FrameHeader& header, std::vector<std::uint8_t>& payload,
                       int cancel_fd = -1);

// True when `cancel_fd` (if not -1) is readable now: for loops that take
// frames already received, which receive_frame returns without a wait.
bool cancel_signalled(int cancel_fd);

}  // namespace sgvisa::localbus
