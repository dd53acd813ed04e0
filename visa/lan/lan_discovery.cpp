#include "lan/lan_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lan/lan_transports.h"
#include "mdns_browse.h"
#include "proto/dns.h"
#include "proto/portmap.h"
#include "trace/trace_sink.h"
#include "vxi11_broadcast.h"

namespace sgvisa::lan {
namespace {

namespace dns = sgproto::dns;
namespace rpc = sgproto::oncrpc;

// The most interfaces asked: a host with more is a router, not a bench.
constexpr std::size_t kMaxInterfaces = 32;
// The most datagrams taken in one search, against a flood.
constexpr int kMaxDatagrams = 1024;

struct Interface {
    std::uint32_t address = 0;    // network order
    std::uint32_t broadcast = 0;  // 0: none
    bool multicast = false;
};

std::vector<Interface> interfaces() {
    std::vector<Interface> out;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return out;
    for (const ifaddrs* i = all; i != nullptr && out.size() < kMaxInterfaces; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        Interface f;
        f.address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if ((i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr)
            f.broadcast = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
        f.multicast = (i->ifa_flags & IFF_MULTICAST) != 0;
        out.push_back(f);
    }
    ::freeifaddrs(all);
    return out;
}

std::uint16_t portmap_port() {
    const char* text = std::getenv(kPortmapPortVariable);
    unsigned value = 0;
    if (text == nullptr)
        return rpc::kPortmapPort;
    const std::string_view s(text);
    const auto [at, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc{} && at == s.data() + s.size() && value > 0 && value <= 65535
               ? static_cast<std::uint16_t>(value)
               : rpc::kPortmapPort;
}

sockaddr_in ipv4(std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

std::string dotted(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// The transfers trace's words on the search: what went where, what came.
void note(const std::string& what) {
    trace::transfer_line([&](std::string& line) { line += "discovery: " + what; });
}

void send_to(int fd, const std::vector<std::uint8_t>& bytes, std::uint32_t address,
             std::uint16_t port, const char* what) {
    const sockaddr_in to = ipv4(address, port);
    // A network that refuses (no route, a full buffer) is one that answers
    // nothing: the others still go.
    const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    note(std::string(what) + " to " + dotted(address) + ":" + std::to_string(port) +
         (n < 0 ? std::string(" not sent: ") + std::strerror(errno) : std::string()));
}

// A UDP socket of its own, closed with the search.
class Socket {
  public:
    Socket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

unsigned discovery_ms() {
    const char* text = std::getenv(kDiscoveryVariable);
    if (text == nullptr || *text == '\0')
        return kDefaultDiscoveryMs;
    unsigned value = 0;
    const std::string_view s(text);
    const auto [at, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || at != s.data() + s.size())
        return kDefaultDiscoveryMs;
    return std::min(value, kMaxDiscoveryMs);
}

void discover_lan_instruments(Deadline deadline, std::vector<ResourceName>& out) {
    const unsigned bound = discovery_ms();
    if (bound == 0)
        return;
    const Deadline start = Clock::now();
    deadline = std::min(deadline, start + std::chrono::milliseconds(bound));
    const std::vector<Interface> nets = interfaces();
    if (nets.empty())
        return;

    Socket broadcast, mdns;
    if (broadcast.fd() < 0 || mdns.fd() < 0)
        return;
    const int on = 1;
    ::setsockopt(broadcast.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // mDNS takes only packets sent with a TTL of 255 as from the link.
    const int ttl = 255;
    ::setsockopt(mdns.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);

    const auto call = broadcast_getport_call();
    const std::uint16_t port = portmap_port();
    MdnsBrowse browse;
    const auto query = browse.query();
    for (const Interface& n : nets) {
        if (n.broadcast != 0)
            send_to(broadcast.fd(), call, n.broadcast, port, "portmapper GETPORT broadcast");
        if (n.multicast) {
            in_addr via{};
            via.s_addr = n.address;
            if (::setsockopt(mdns.fd(), IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) == 0)
                send_to(mdns.fd(), query, htonl(dns::kMdnsGroup), dns::kMdnsPort,
                        ("mDNS question via " + dotted(n.address)).c_str());
        }
    }

    std::vector<std::uint32_t> portmappers;
    std::vector<MdnsBrowse::FollowUp> follow;
    // Half way, whatever is still missing is asked once more.
    const Deadline again = start + (deadline - start) / 2;
    bool asked_again = false;
    std::uint8_t buffer[9000];
    for (int taken = 0; taken < kMaxDatagrams;) {
        const Deadline until = asked_again ? deadline : std::min(deadline, again);
        pollfd p[2] = {{broadcast.fd(), POLLIN, 0}, {mdns.fd(), POLLIN, 0}};
        const int r = ::poll(p, 2, ms_until(until));
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0) {
            if (Clock::now() >= deadline)
                break;
            if (Clock::now() >= again && !asked_again) {
                asked_again = true;
                if (browse.follow_up(2, follow))
                    for (const auto& f : follow)
                        send_to(mdns.fd(), f.query, f.responder, dns::kMdnsPort,
                                "mDNS question for what is missing");
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if ((p[i].revents & POLLIN) == 0)
                continue;
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = ::recvfrom(p[i].fd, buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n <= 0 || from.sin_family != AF_INET)
                continue;
            ++taken;
            const std::span<const std::uint8_t> datagram(buffer, static_cast<std::size_t>(n));
            note(std::string(i == 0 ? "portmapper reply" : "mDNS message") + " from " +
                 dotted(from.sin_addr.s_addr) + ", " + std::to_string(n) + " bytes");
            if (i == 0) {
                if (answers_broadcast(datagram) &&
                    std::find(portmappers.begin(), portmappers.end(), from.sin_addr.s_addr) ==
                        portmappers.end())
                    portmappers.push_back(from.sin_addr.s_addr);
                continue;
            }
            browse.absorb(datagram, from.sin_addr.s_addr);
            if (browse.follow_up(1, follow))
                for (const auto& f : follow)
                    send_to(mdns.fd(), f.query, f.responder, dns::kMdnsPort,
                            "mDNS question for what is missing");
        }
    }

    std::vector<ResourceName> found;
    for (const std::uint32_t a : portmappers)
        found.emplace_back(
            TcpipInstrName{0, dotted(a), "inst0", LanProtocol::unspecified, false, {}});
    for (auto& name : browse.found())
        found.push_back(std::move(name));
    for (auto& name : found) {
        const bool seen = std::any_of(
            out.begin(), out.end(), [&](const ResourceName& n) { return same_resource(n, name); });
        const bool served = serves_lan_name(name);
        note(canonical_name(name) + (seen ? ": found already" : served ? "" : ": not served"));
        if (!seen && served)
            out.push_back(std::move(name));
    }
}

}  // namespace sgvisa::lan
