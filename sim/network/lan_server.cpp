#include "network/lan_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <malloc.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "connection_services.h"
#include "hislip_session.h"
#include "portmapper.h"
#include "tcp_io.h"

namespace sgsim {

struct LanServer::Worker {
    int fd = -1;
    std::atomic<bool> done{false};
    std::thread thread;
};

namespace {

// A block read's reply is megabytes, built afresh for each call (the
// response, its XDR encoding, the record) on a connection's own thread. By
// default glibc gives such a buffer back to the kernel when it is freed
// (an mmap of its own, or a trimmed arena), so every reply faults each of
// its pages in anew: in a virtual machine that took 9 ms for a 1 MiB
// device_read, against 0.3 ms to move it over the loopback. Keeping the
// memory for the next reply makes those pages warm ones.
void keep_reply_memory() {
    constexpr int kLargestReply = 32 << 20;  // the most glibc takes from an arena
    ::mallopt(M_MMAP_THRESHOLD, kLargestReply);
    ::mallopt(M_TRIM_THRESHOLD, 4 * kLargestReply);
}

// The broadcast address (network order) of the interface that has
// `address`, or 0: none, or the address is 0.0.0.0 or no interface's.
std::uint32_t broadcast_address(std::uint32_t address) {
    std::uint32_t out = 0;
    ifaddrs* all = nullptr;
    if (address == INADDR_ANY || ::getifaddrs(&all) != 0)
        return 0;
    for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address &&
            (i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr)
            out = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
    }
    ::freeifaddrs(all);
    return out;
}

// A UDP socket on `broadcast` (network order): shared (SO_REUSEADDR) with
// other simulators on the same network, every one of which gets each
// broadcast and answers it.
int bind_broadcast(std::uint32_t broadcast, std::uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = broadcast;
    a.sin_port = htons(port);
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return fd;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    error = std::string("cannot listen for broadcasts on ") + text + ":" + std::to_string(port) +
            " (UDP): " + std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    return -1;
}

}  // namespace

LanServer::LanServer(SharedInstrument& shared, LanOptions options)
    : shared_(shared),
      options_(std::move(options)),
      hislip_sessions_(std::make_unique<network::HislipSessions>()) {}

LanServer::~LanServer() {
    stop();
    for (int fd : {portmap_tcp_, portmap_udp_, portmap_broadcast_, core_, abort_, socket_, hislip_,
                   hislip6_, stop_pipe_[0], stop_pipe_[1]})
        if (fd >= 0)
            ::close(fd);
}

bool LanServer::start(std::string& error) {
    in_addr a{};
    if (::inet_pton(AF_INET, options_.address.c_str(), &a) != 1) {
        error = "not an IPv4 address for --lan: " + options_.address;
        return false;
    }
    address_ = ntohl(a.s_addr);
    keep_reply_memory();
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // The portmapper's port first: the one a user without root cannot have.
    if ((portmap_tcp_ = network::listen_tcp(address_, options_.portmap_port, error)) < 0)
        return false;
    portmap_port_ = network::local_port(portmap_tcp_);
    if ((portmap_udp_ = network::bind_udp(address_, portmap_port_, error)) < 0 ||
        (core_ = network::listen_tcp(address_, options_.vxi11_port, error)) < 0 ||
        (abort_ = network::listen_tcp(address_, 0, error)) < 0 ||
        (socket_ = network::listen_tcp(address_, options_.socket_port, error)) < 0 ||
        (hislip_ = network::listen_tcp(address_, options_.hislip_port, error)) < 0)
        return false;
    // 0.0.0.0 receives broadcasts already; an interface's address needs its
    // network's broadcast address as well.
    const std::uint32_t broadcast = broadcast_address(a.s_addr);
    if (broadcast != 0 &&
        (portmap_broadcast_ = bind_broadcast(broadcast, portmap_port_, error)) < 0)
        return false;
    vxi11_port_ = network::local_port(core_);
    abort_port_ = network::local_port(abort_);
    socket_port_ = network::local_port(socket_);
    hislip_port_ = network::local_port(hislip_);
    // VISA requires HiSLIP to work over IPv6: the loopback (or every
    // address) of IPv6 as well, on the same port. A host without IPv6 there
    // serves IPv4 alone.
    if (address_ == INADDR_LOOPBACK || address_ == INADDR_ANY) {
        std::string ignored;
        hislip6_ = network::listen_tcp6(address_ == INADDR_ANY, hislip_port_, ignored);
    }
    started_ = true;
    clock_ = std::thread([this] { shared_.run_clock(); });
    listener_ = std::thread([this] { listen_loop(); });
    return true;
}

void LanServer::stop() {
    if (!started_)
        return;
    started_ = false;
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], &b, 1);
    shared_.stop();
    listener_.join();
    clock_.join();
    const std::lock_guard<std::mutex> hold(workers_mutex_);
    for (auto& w : workers_)
        w->thread.join();
    workers_.clear();
}

std::string LanServer::describe() const {
    return "LAN " + options_.address + ": portmapper " + std::to_string(portmap_port_) +
           " (TCP, UDP), VXI-11 " + std::to_string(vxi11_port_) + " (abort " +
           std::to_string(abort_port_) + "), SOCKET " + std::to_string(socket_port_) + ", HiSLIP " +
           std::to_string(hislip_port_);
}

void LanServer::listen_loop() {
    const struct {
        int fd;
        Kind kind;
    } listeners[] = {{portmap_tcp_, Kind::portmap}, {core_, Kind::core},
                     {abort_, Kind::abort},         {socket_, Kind::socket},
                     {hislip_, Kind::hislip},       {hislip6_, Kind::hislip}};
    constexpr std::size_t kListeners = std::size(listeners);
    for (;;) {
        // A listener not had (-1) is ignored by poll; so is the broadcast
        // socket where there is none. It comes last.
        constexpr std::size_t kBroadcast = kListeners + 2;
        pollfd p[kBroadcast + 1] = {{stop_pipe_[0], POLLIN, 0}, {portmap_udp_, POLLIN, 0}};
        for (std::size_t i = 0; i < kListeners; ++i)
            p[i + 2] = {listeners[i].fd, POLLIN, 0};
        p[kBroadcast] = {portmap_broadcast_, POLLIN, 0};
        const int r = ::poll(p, kBroadcast + 1, -1);  // until a client comes or the server stops
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || p[0].revents != 0)
            return;
        if (p[1].revents & POLLIN)
            answer_udp(portmap_udp_);
        if (p[kBroadcast].revents & POLLIN)
            answer_udp(portmap_broadcast_);
        reap();
        for (std::size_t i = 0; i < kListeners; ++i) {
            if (p[i + 2].revents & POLLIN)
                accept_one(listeners[i].fd, listeners[i].kind);
        }
    }
}

void LanServer::answer_udp(int fd) {
    std::uint8_t buffer[8192];
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    const ssize_t n =
        ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n <= 0)
        return;
    const network::PortmapTable table{portmap_port_, vxi11_port_};
    const auto reply = network::portmap_answer({buffer, static_cast<std::size_t>(n)}, table);
    if (!reply.empty())
        ::sendto(portmap_udp_, reply.data(), reply.size(), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&from), from_len);
}

void LanServer::reap() {
    const std::lock_guard<std::mutex> hold(workers_mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (!(*it)->done) {
            ++it;
            continue;
        }
        (*it)->thread.join();
        it = workers_.erase(it);
    }
}

void LanServer::accept_one(int listen_fd, Kind kind) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    network::set_nodelay(fd);
    const bool instrument = kind == Kind::core || kind == Kind::socket;
    const std::lock_guard<std::mutex> hold(workers_mutex_);
    if (workers_.size() >= kMaxConnections ||
        (instrument && shared_.quirks().one_connection && instrument_connections_ > 0)) {
        ::close(fd);
        return;
    }
    if (instrument)
        ++instrument_connections_;
    auto worker = std::make_unique<Worker>();
    Worker& w = *worker;
    w.fd = fd;
    const std::uint64_t connection = next_connection_++;
    const int stop_fd = stop_pipe_[0];
    w.thread = std::thread([this, &w, kind, connection, stop_fd, instrument] {
        switch (kind) {
            case Kind::portmap:
                network::serve_portmap_connection(w.fd, {portmap_port_, vxi11_port_}, stop_fd);
                break;
            case Kind::core:
                network::serve_core_connection(w.fd, shared_, {connection, stop_fd, abort_port_});
                break;
            case Kind::abort:
                network::serve_abort_connection(w.fd, shared_, stop_fd);
                break;
            case Kind::socket:
                network::serve_socket_connection(w.fd, shared_, stop_fd);
                break;
            case Kind::hislip:
                network::serve_hislip_connection(w.fd, shared_,
                                                 {hislip_sessions_.get(), connection, stop_fd});
                break;
        }
        ::close(w.fd);
        if (instrument)
            --instrument_connections_;
        w.done = true;
    });
    workers_.push_back(std::move(worker));
}

}  // namespace sgsim
