#include "frame_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace sgvisa::localbus {
namespace {

// Waits until `fd` is ready for `events`: 1 ready, 0 the deadline passed,
// VI_ERROR_ABORT cancelled, VI_ERROR_SYSTEM_ERROR.
int wait_ready(int fd, short events, Deadline deadline, int cancel_fd) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
        const int r = ::poll(p, cancel_fd >= 0 ? 2 : 1, ms_until(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return VI_ERROR_SYSTEM_ERROR;
        if (r == 0)
            return 0;
        if (cancel_fd >= 0 && (p[1].revents & POLLIN) != 0)
            return VI_ERROR_ABORT;
        return 1;
    }
}

}  // namespace

bool cancel_signalled(int cancel_fd) {
    if (cancel_fd < 0)
        return false;
    pollfd p{cancel_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

ViStatus send_all(int fd, std::span<const std::uint8_t> bytes, Deadline deadline, std::size_t& sent,
                  int cancel_fd) {
    sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int r = wait_ready(fd, POLLOUT, deadline, cancel_fd);
            if (r < 0)
                return r;
            if (r == 0)
                return VI_ERROR_TMO;
            continue;
        }
        return VI_ERROR_CONN_LOST;  // EPIPE, ECONNRESET: the device is gone
    }
    return VI_SUCCESS;
}

namespace {

// The frame that begins at rx[start]: once whole, its header and payload,
// and `start` moves past it. Bytes before `start` are dropped only before a
// receive, when what is left is less than a frame, so that a burst of small
// frames costs its bytes once and not once per frame.
ViStatus receive_at(int fd, std::vector<std::uint8_t>& rx, std::size_t& start, Deadline deadline,
                    sgproto::localbus::FrameHeader& header, std::vector<std::uint8_t>& payload,
                    int cancel_fd) {
    namespace lb = sgproto::localbus;
    for (bool received = false;; received = true) {
        const std::span<const std::uint8_t> rest(rx.data() + start, rx.size() - start);
        if (lb::decode_header(rest, header)) {
            if (header.length > lb::kMaxPayload)
                return VI_ERROR_IO;
            const std::size_t total = lb::kFrameHeaderSize + header.length;
            if (rest.size() >= total) {
                payload.assign(rest.begin() + lb::kFrameHeaderSize,
                               rest.begin() + static_cast<std::ptrdiff_t>(total));
                start += total;
                return VI_SUCCESS;
            }
        }
        // A socket that is always readable never lets poll() time out: a
        // frame still partial once the deadline has passed is a timeout
        // (its bytes stay in `rx` for the next call).
        if (received && Clock::now() >= deadline)
            return VI_ERROR_TMO;
        const int r = wait_ready(fd, POLLIN, deadline, cancel_fd);
        if (r < 0)
            return r;
        if (r == 0)
            return VI_ERROR_TMO;
        rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
        std::uint8_t buf[16 * 1024];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return VI_ERROR_CONN_LOST;  // end of stream or a reset
        rx.insert(rx.end(), buf, buf + n);
    }
}

}  // namespace

ViStatus receive_frame(int fd, std::vector<std::uint8_t>& rx, Deadline deadline,
                       sgproto::localbus::FrameHeader& header, std::vector<std::uint8_t>& payload,
                       int cancel_fd) {
    std::size_t start = 0;
    const ViStatus st = receive_at(fd, rx, start, deadline, header, payload, cancel_fd);
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(start));
    return st;
}

ViStatus receive_frame(int fd, FrameBuffer& rx, Deadline deadline,
                       sgproto::localbus::FrameHeader& header, std::vector<std::uint8_t>& payload,
                       int cancel_fd) {
    const ViStatus st = receive_at(fd, rx.bytes_, rx.start_, deadline, header, payload, cancel_fd);
    if (rx.empty())
        rx.clear();
    return st;
}

}  // namespace sgvisa::localbus
