// Raw SOCKET: the bytes of a connection are program messages, each ended by
// a linefeed; each response is written whole once ready, in one write.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "connection_services.h"
#include "tcp_io.h"

namespace sgsim::network {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A message this long without its linefeed is not one: the connection ends.
constexpr std::size_t kMaxMessage = 4u << 20;
constexpr std::chrono::seconds kSendBound{10};

}  // namespace

void serve_socket_connection(int fd, SharedInstrument& shared, int stop_fd) {
    std::string pending;
    std::string chunk(kReadChunk, '\0');
    for (;;) {
        // Every whole message already here first.
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const Clock::time_point received = Clock::now();
            const SharedInstrument::SocketReply reply =
                shared.socket_message(std::string_view(pending).substr(0, end + 1));
            pending.erase(0, end + 1);
            if (!reply.ok)
                return;
            if (reply.response.empty())
                continue;
            const Clock::time_point due = std::max(reply.ready, received + shared.quirks().late);
            if (!shared.wait_until(due))
                return;
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply.response.data());
            if (!send_whole(fd, {bytes, reply.response.size()}, stop_fd, Clock::now() + kSendBound))
                return;
        }
        if (pending.size() > kMaxMessage)
            return;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int r = ::poll(p, 2, -1);  // until the peer sends, closes, or the server stops
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || p[1].revents != 0)
            return;
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
        if (n > 0)
            pending.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace sgsim::network
