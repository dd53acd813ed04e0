#include "rpc_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tcp_io.h"

namespace sgsim::network {

namespace rpc = sgproto::oncrpc;

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
}

RpcStream::RpcStream(int fd, int stop_fd, int wake_fd, std::size_t max_record)
    : fd_(fd), stop_fd_(stop_fd), wake_fd_(wake_fd), reader_(max_record), buffer_(kReadChunk) {}

RpcStream::Event RpcStream::next(Clock::time_point deadline) {
    if (have_record_) {
        reader_.next();
        have_record_ = false;
    }
    for (;;) {
        // Bytes already read go to the reader first.
        if (begin_ < end_) {
            std::size_t taken = 0;
            const auto status =
                reader_.feed(rpc::ByteView(buffer_.data() + begin_, end_ - begin_), taken);
            begin_ += taken;
            if (status == rpc::RecordReader::Status::record) {
                have_record_ = true;
                return Event::record;
            }
            if (status == rpc::RecordReader::Status::too_large)
                return Event::closed;
        }
        begin_ = end_ = 0;
        pollfd p[3] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int r = ::poll(p, wake_fd_ >= 0 ? 3 : 2, poll_timeout(deadline));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return Event::closed;
        }
        if (p[1].revents != 0)
            return Event::stopped;
        if (r == 0)
            return Event::due;
        if (wake_fd_ >= 0 && p[2].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
            return Event::woken;
        }
        const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return Event::closed;
        if (n > 0)
            end_ = static_cast<std::size_t>(n);
    }
}

}  // namespace sgsim::network
