#include "tcp_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sgsim::network {
namespace {

sockaddr_in ipv4(std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

std::string where(std::uint32_t address, std::uint16_t port) {
    const in_addr a{htonl(address)};
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

int bound_socket(int type, std::uint32_t address, std::uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int on = 1;
    if (type == SOCK_STREAM)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = ipv4(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 16) != 0)) {
        const int e = errno;
        error = "cannot listen on " + where(address, port) +
                (type == SOCK_STREAM ? " (TCP): " : " (UDP): ") + std::strerror(e);
        if (e == EACCES && port < 1024)
            error +=
                " (ports below 1024 need root: run sgsim in a network namespace of its own, "
                "unshare -rn, or give high ports; see docs/simulator.md)";
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int listen_tcp(std::uint32_t address, std::uint16_t port, std::string& error) {
    return bound_socket(SOCK_STREAM, address, port, error);
}

int bind_udp(std::uint32_t address, std::uint16_t port, std::string& error) {
    return bound_socket(SOCK_DGRAM, address, port, error);
}

int listen_tcp6(bool any, std::uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket (IPv6): ") + std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // The IPv4 address has a socket of its own.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = any ? in6addr_any : in6addr_loopback;
    a.sin6_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        error = std::string("cannot listen on [") + (any ? "::" : "::1") +
                "]:" + std::to_string(port) + " (TCP): " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t local_port(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
}

void set_nodelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int poll_timeout(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
}

int connect_tcp(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds bound) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in a = ipv4(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            ::close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, static_cast<int>(bound.count())) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return -1;
        }
    }
    set_nodelay(fd);
    return fd;
}

bool send_whole(int fd, std::span<const std::uint8_t> data, int stop_fd,
                Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd p[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
        const int r = ::poll(p, stop_fd >= 0 ? 2 : 1, poll_timeout(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (stop_fd >= 0 && p[1].revents != 0) || (p[0].revents & (POLLERR | POLLHUP)))
            return false;
    }
    return true;
}

}  // namespace sgsim::network
