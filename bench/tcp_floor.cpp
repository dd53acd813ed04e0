#include "tcp_floor.h"

#include "socket_bounds.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace sgbench {
namespace {

// Sends all of `data`; a blocking socket with SO_SNDTIMEO bounds each call.
bool send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Connection {
    int fd;
    std::string pending;  // bytes of a message not ended yet
};

// Answers every whole message in `c.pending`; false when the peer is gone.
bool answer(Connection& c, const std::string& reply, const std::string& bulk) {
    std::size_t start = 0;
    for (std::size_t end; (end = c.pending.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string_view message(c.pending.data() + start, end + 1 - start);
        const std::string& out = message == "BULK\n" ? bulk : reply;
        if (!send_all(c.fd, out.data(), out.size()))
            return false;
    }
    c.pending.erase(0, start);
    return true;
}

[[noreturn]] void serve(int listener, int control, int idle_ms) {
    std::string reply(kFloorReplySize - 1, 'R');
    reply += '\n';
    const std::string bulk(kBulkSize, 'B');
    std::vector<Connection> conns;
    std::vector<pollfd> fds;
    char buf[65536];
    for (;;) {
        fds.assign({{control, POLLIN, 0}, {listener, POLLIN, 0}});
        for (const Connection& c : conns)
            fds.push_back({c.fd, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), idle_ms);
        if (ready == 0 || fds[0].revents != 0)
            ::_exit(0);  // idle too long, or the parent has let go
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                set_nodelay(fd);
                set_bounds(fd, idle_ms);
                conns.push_back({fd, {}});
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Connection& c = conns[i - 2];
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n > 0)
                c.pending.append(buf, static_cast<std::size_t>(n));
            if (n <= 0 || !answer(c, reply, bulk)) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(conns, [](const Connection& c) { return c.fd < 0; });
    }
}

}  // namespace

TcpFloorServer::TcpFloorServer(int idle_ms)
    : FloorServer([idle_ms](int listener, int control) { serve(listener, control, idle_ms); }) {}

TcpFloorClient::TcpFloorClient(std::uint16_t port, int bound_ms) : buf_(kBulkSize) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    set_nodelay(fd_);
    set_bounds(fd_, bound_ms);
    const sockaddr_in a = loopback(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TcpFloorClient::~TcpFloorClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool TcpFloorClient::receive(std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd_, buf_.data() + got, size - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return buf_[size - 1] == '\n' || size == kBulkSize;
}

bool TcpFloorClient::query(std::size_t reply_size) {
    if (!send_all(fd_, kFloorQuery, sizeof kFloorQuery - 1))
        return false;
    reply_size_ = 0;
    do {
        const ssize_t n = ::recv(fd_, buf_.data() + reply_size_, buf_.size() - reply_size_, 0);
        if (n <= 0)
            return false;
        reply_size_ += static_cast<std::size_t>(n);
    } while (buf_[reply_size_ - 1] != '\n' && reply_size_ < buf_.size());
    return reply_size == 0 || reply_size_ == reply_size;
}

bool TcpFloorClient::bulk() {
    static constexpr char kBulk[] = "BULK\n";
    return send_all(fd_, kBulk, sizeof kBulk - 1) && receive(kBulkSize);
}

bool TcpFloorClient::queries_in_flight(int n) {
    for (int i = 0; i < n; ++i)
        if (!send_all(fd_, kFloorQuery, sizeof kFloorQuery - 1))
            return false;
    return receive(static_cast<std::size_t>(n) * kFloorReplySize);
}

double tcp_connect_us(std::uint16_t port, int bound_ms) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    set_nodelay(fd);
    set_bounds(fd, bound_ms);  // SO_SNDTIMEO bounds connect() too
    const sockaddr_in a = loopback(port);
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const auto t1 = std::chrono::steady_clock::now();
    ::close(fd);
    return rc == 0 ? std::chrono::duration<double, std::micro>(t1 - t0).count() : -1;
}

}  // namespace sgbench
