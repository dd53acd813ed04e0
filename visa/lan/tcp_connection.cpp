#include "tcp_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "trace/trace_reason.h"
#include "transport/process_descriptors.h"

namespace sgvisa::lan {
namespace {

// A lookup in flight: getaddrinfo_a writes into it from its own thread until
// it completes, so it lives on the heap and outlives a wait that gave up.
struct Lookup {
    std::string host;
    addrinfo hints{};
    gaicb request{};
};

// Lookups whose wait ended before they did and which gai_cancel could not
// stop: freed once they complete, at the next resolution. A name server
// that never answers costs one Lookup per timed-out open, until glibc gives
// up on it (its own resolver timeout), not more.
std::mutex g_abandoned_mutex;
std::vector<Lookup*> g_abandoned;

void free_lookup(Lookup* l) {
    if (l->request.ar_result != nullptr)
        ::freeaddrinfo(l->request.ar_result);
    delete l;
}

void reap_abandoned() {
    std::lock_guard lock(g_abandoned_mutex);
    std::erase_if(g_abandoned, [](Lookup* l) {
        if (::gai_error(&l->request) == EAI_INPROGRESS)
            return false;
        free_lookup(l);
        return true;
    });
}

void append_addresses(const addrinfo* list, std::vector<HostAddress>& out) {
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        HostAddress h;
        std::memcpy(&h.addr, a->ai_addr, a->ai_addrlen);
        h.length = a->ai_addrlen;
        out.push_back(h);
    }
}

addrinfo tcp_hints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

}  // namespace

ViStatus wait_ready(int fd, short events, Deadline deadline, int cancel_fd) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
        const int r = ::poll(p, cancel_fd >= 0 ? 2 : 1, ms_until(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return VI_ERROR_SYSTEM_ERROR;
        if (cancel_fd >= 0 && (p[1].revents & POLLIN) != 0)
            return VI_ERROR_ABORT;
        if (r == 0) {
            // poll() rounds its timeout to whole milliseconds: wait out the rest.
            if (Clock::now() < deadline)
                continue;
            return VI_ERROR_TMO;
        }
        return VI_SUCCESS;  // ready, or an error or hang-up the next call reports
    }
}

ViStatus resolve_host(const std::string& host, Deadline deadline, std::vector<HostAddress>& out) {
    out.clear();
    // A literal address needs no name server and returns at once.
    addrinfo numeric = tcp_hints(AI_NUMERICHOST);
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &numeric, &list) == 0) {
        append_addresses(list, out);
        ::freeaddrinfo(list);
        return out.empty() ? VI_ERROR_RSRC_NFOUND : VI_SUCCESS;
    }
    reap_abandoned();
    auto* l = new Lookup;
    l->host = host;
    l->hints = tcp_hints(AI_ADDRCONFIG);
    l->request.ar_name = l->host.c_str();
    l->request.ar_request = &l->hints;
    gaicb* list_of_one[] = {&l->request};
    // getaddrinfo has no timeout; its asynchronous form is waited for with ours.
    if (::getaddrinfo_a(GAI_NOWAIT, list_of_one, 1, nullptr) != 0) {
        delete l;
        trace::note_reason([&] { return "the host name \"" + host + "\" could not be looked up"; });
        return VI_ERROR_RSRC_NFOUND;
    }
    int err = EAI_INPROGRESS;
    for (;;) {
        err = ::gai_error(&l->request);
        if (err != EAI_INPROGRESS)
            break;
        const int ms = ms_until(deadline);
        if (ms == 0)
            break;
        const timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        const gaicb* const waiting[] = {&l->request};
        const int r = ::gai_suspend(waiting, 1, &ts);
        if (r == EAI_AGAIN && ms_until(deadline) == 0)
            break;
    }
    if (err == EAI_INPROGRESS && ::gai_cancel(&l->request) != EAI_CANCELED &&
        ::gai_error(&l->request) == EAI_INPROGRESS) {
        std::lock_guard lock(g_abandoned_mutex);
        g_abandoned.push_back(l);
        trace::note_reason([&] {
            return "the host name \"" + host + "\" did not resolve within the open timeout";
        });
        return VI_ERROR_RSRC_NFOUND;
    }
    err = ::gai_error(&l->request);
    if (err == 0)
        append_addresses(l->request.ar_result, out);
    free_lookup(l);
    if (out.empty()) {
        trace::note_reason([&] {
            return "the host name \"" + host + "\" did not resolve: " +
                   (err == 0 ? std::string("no TCP address") : std::string(::gai_strerror(err)));
        });
        return VI_ERROR_RSRC_NFOUND;
    }
    return VI_SUCCESS;
}

bool is_address_literal(const std::string& host) {
    in6_addr a6;
    in_addr a4;
    return ::inet_pton(AF_INET, host.c_str(), &a4) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

std::string address_text(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
        ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    } else if (addr.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
        ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    }
    return text;
}

std::uint16_t address_port(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    if (addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    return 0;
}

TcpConnection::~TcpConnection() {
    close_process_descriptor(fd_);
}

ViStatus TcpConnection::connect(const std::vector<HostAddress>& addresses, std::uint16_t port,
                                Deadline deadline, std::unique_ptr<TcpConnection>& out) {
    ViStatus last = VI_ERROR_RSRC_NFOUND;
    int last_errno = 0;
    for (const HostAddress& h : addresses) {
        sockaddr_storage to = h.addr;
        if (to.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in&>(to).sin_port = htons(port);
        else if (to.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6&>(to).sin6_port = htons(port);
        else
            continue;
        const int fd = open_process_descriptor([&] {
            return ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        });
        if (fd < 0)
            return VI_ERROR_SYSTEM_ERROR;
        std::unique_ptr<TcpConnection> c(new TcpConnection(fd, to));
        // Before the handshake, so that not even the first message waits
        // for an acknowledgement (the delayed-ACK stall costs 40 ms a message).
        c->set_nodelay(true);
        int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), h.length);
        if (r < 0 && errno == EINPROGRESS) {
            const ViStatus st = wait_ready(fd, POLLOUT, deadline, -1);
            if (st != VI_SUCCESS) {
                trace::note_reason([&] {
                    return "no answer from " + address_text(to) + " port " + std::to_string(port) +
                           " within the open timeout";
                });
                return st;
            }
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            r = err == 0 ? 0 : -1;
            errno = err;
        }
        if (r == 0) {
            out = std::move(c);
            return VI_SUCCESS;
        }
        last_errno = errno;
        last = VI_ERROR_RSRC_NFOUND;
        trace::note_reason([&] {
            std::string why = address_text(to) + " port " + std::to_string(port) + ": " +
                              std::strerror(last_errno);
            if (last_errno == ECONNREFUSED)
                why +=
                    " (nothing listens there, or the instrument takes one connection and "
                    "has one)";
            return why;
        });
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
    }
    return last;
}

std::unique_ptr<TcpConnection> TcpConnection::adopt(int fd) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        peer.ss_family = AF_UNSPEC;
    return std::unique_ptr<TcpConnection>(new TcpConnection(fd, peer));
}

ViStatus TcpConnection::lose() {
    lost_ = true;
    return VI_ERROR_CONN_LOST;
}

ViStatus TcpConnection::send(std::span<const std::uint8_t> bytes, Deadline deadline, int cancel_fd,
                             std::size_t* sent) {
    const iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    return send(std::span<const iovec>(&part, 1), deadline, cancel_fd, sent);
}

ViStatus TcpConnection::send(std::span<const iovec> parts, Deadline deadline, int cancel_fd,
                             std::size_t* sent_total) {
    std::size_t ignored = 0;
    std::size_t& total = sent_total != nullptr ? *sent_total : ignored;
    total = 0;
    if (lost_)
        return VI_ERROR_CONN_LOST;
    std::vector<iovec> left(parts.begin(), parts.end());
    std::size_t first = 0;
    while (first < left.size()) {
        msghdr m{};
        m.msg_iov = left.data() + first;
        m.msg_iovlen = left.size() - first;
        const ssize_t n = ::sendmsg(fd_, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const ViStatus st = wait_ready(fd_, POLLOUT, deadline, cancel_fd);
            if (st != VI_SUCCESS)
                return st;
            continue;
        }
        if (n < 0)
            return lose();  // EPIPE, ECONNRESET, ETIMEDOUT (keepalive): the peer is gone
        // Skip what went; the rest is sent where the buffer takes it.
        auto sent = static_cast<std::size_t>(n);
        total += sent;
        while (first < left.size() && sent >= left[first].iov_len) {
            sent -= left[first].iov_len;
            ++first;
        }
        if (first < left.size()) {
            left[first].iov_base = static_cast<std::uint8_t*>(left[first].iov_base) + sent;
            left[first].iov_len -= sent;
        }
    }
    answer_due_ = true;
    return VI_SUCCESS;
}

ViStatus TcpConnection::receive_some(std::span<std::uint8_t> buf, Deadline deadline, int cancel_fd,
                                     std::size_t& got) {
    got = 0;
    if (lost_)
        return VI_ERROR_CONN_LOST;
    if (answer_due_) {
        // The first receive after a message went out: its answer has
        // seldom come yet, so waiting first saves a recv that finds nothing.
        answer_due_ = false;
        const ViStatus st = wait_ready(fd_, POLLIN, deadline, cancel_fd);
        if (st != VI_SUCCESS)
            return st;
    }
    for (;;) {
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            received_ = true;
            return VI_SUCCESS;
        }
        if (n == 0) {
            if (!received_) {
                trace::note_reason([] {
                    return std::string(
                        "the instrument closed the connection before it sent "
                        "anything: it may take one connection at a time, and "
                        "have one");
                });
            }
            return lose();  // the peer closed
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return lose();  // ECONNRESET, ETIMEDOUT (keepalive gave up)
        const ViStatus st = wait_ready(fd_, POLLIN, deadline, cancel_fd);
        if (st != VI_SUCCESS)
            return st;
    }
}

void TcpConnection::discard_pending() {
    std::uint8_t sink[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n == 0)
            lose();
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}

bool TcpConnection::set_nodelay(bool on) {
    const int v = on ? 1 : 0;
    return ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0;
}

bool TcpConnection::set_keepalive(bool on) {
    const int v = on ? 1 : 0;
    return ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &v, sizeof v) == 0;
}

sockaddr_storage TcpConnection::local() const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        a.ss_family = AF_UNSPEC;
    return a;
}

}  // namespace sgvisa::lan
