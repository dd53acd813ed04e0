#include "network/mdns_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sgsim {
namespace {

namespace dns = sgproto::dns;

constexpr const char* kEnumeration = "_services._dns-sd._udp.local";
// RFC 6762, 10: two minutes for records about a host, 75 minutes for the
// rest; at most ten seconds in an answer to a legacy unicast question.
constexpr std::uint32_t kHostTtl = 120;
constexpr std::uint32_t kOtherTtl = 4500;
constexpr std::uint32_t kLegacyTtl = 10;

std::string local_name(const std::string& name) {
    return name + ".local";
}

std::string instance_name(const MdnsOptions& o, const MdnsService& s) {
    return dns::escape_label(o.instance) + "." + local_name(s.type);
}

// The interfaces that are up, not loopback, and have multicast:
// address (network order) and index.
std::vector<std::pair<std::uint32_t, unsigned>> multicast_interfaces() {
    std::vector<std::pair<std::uint32_t, unsigned>> out;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return out;
    for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0 ||
            (i->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        out.emplace_back(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr,
                         ::if_nametoindex(i->ifa_name));
    }
    ::freeifaddrs(all);
    return out;
}

class Answer {
  public:
    Answer(dns::Message& reply, bool legacy) : reply_(reply), legacy_(legacy) {}

    // `unique` records are the host's own (SRV, TXT, A): the cache-flush
    // bit says so, except to a legacy asker, which would not understand it.
    void add(bool answer, dns::Record r, bool unique) {
        r.cache_flush = unique && !legacy_;
        if (legacy_)
            r.ttl = std::min(r.ttl, kLegacyTtl);
        auto same = [&](const dns::Record& x) {
            return x.type == r.type && dns::same_name(x.name, r.name) &&
                   dns::same_name(x.target, r.target);
        };
        auto& answers = reply_.answers;
        auto& extra = reply_.additionals;
        if (std::any_of(answers.begin(), answers.end(), same))
            return;
        if (answer) {
            std::erase_if(extra, same);
            answers.push_back(std::move(r));
        } else if (std::none_of(extra.begin(), extra.end(), same)) {
            extra.push_back(std::move(r));
        }
    }

  private:
    dns::Message& reply_;
    bool legacy_;
};

dns::Record record(std::string name, std::uint16_t type, std::uint32_t ttl) {
    dns::Record r;
    r.name = std::move(name);
    r.type = type;
    r.ttl = ttl;
    return r;
}

}  // namespace

bool mdns_answer(const MdnsOptions& o, const dns::Message& query, std::uint32_t local,
                 bool legacy_unicast, dns::Message& reply) {
    reply = dns::Message{};
    reply.flags = dns::kResponse | dns::kAuthoritative;
    if (legacy_unicast) {
        // RFC 6762, 6.7: the id and the questions back, as a DNS server does.
        reply.id = query.id;
        reply.questions = query.questions;
    }
    Answer a(reply, legacy_unicast);
    const std::string host = local_name(o.host);
    auto address = [&](bool answer) {
        dns::Record r = record(host, dns::A, kHostTtl);
        std::memcpy(r.address.data(), &local, 4);
        a.add(answer, std::move(r), true);
    };
    auto srv = [&](const MdnsService& s, bool answer) {
        dns::Record r = record(instance_name(o, s), dns::SRV, kHostTtl);
        r.target = host;
        r.port = s.port;
        a.add(answer, std::move(r), true);
    };
    auto txt = [&](const MdnsService& s, bool answer) {
        dns::Record r = record(instance_name(o, s), dns::TXT, kOtherTtl);
        r.text = o.text;
        a.add(answer, std::move(r), true);
    };
    auto wants = [](const dns::Question& q, std::uint16_t type) {
        return q.type == type || q.type == dns::ANY;
    };
    for (const dns::Question& q : query.questions) {
        if (q.klass != dns::kClassIn && q.klass != dns::ANY)
            continue;
        if (wants(q, dns::PTR) && dns::same_name(q.name, kEnumeration)) {
            for (const MdnsService& s : o.services) {
                dns::Record r = record(kEnumeration, dns::PTR, kOtherTtl);
                r.target = local_name(s.type);
                a.add(true, std::move(r), false);
            }
        }
        for (const MdnsService& s : o.services) {
            if (wants(q, dns::PTR) && dns::same_name(q.name, local_name(s.type))) {
                dns::Record r = record(local_name(s.type), dns::PTR, kOtherTtl);
                r.target = instance_name(o, s);
                a.add(true, std::move(r), false);
                srv(s, false);
                txt(s, false);
                address(false);
            }
            if (dns::same_name(q.name, instance_name(o, s))) {
                if (wants(q, dns::SRV))
                    srv(s, true);
                if (wants(q, dns::TXT))
                    txt(s, true);
                if (wants(q, dns::SRV))
                    address(false);
            }
        }
        if (wants(q, dns::A) && dns::same_name(q.name, host))
            address(true);
    }
    return !reply.answers.empty();
}

MdnsResponder::MdnsResponder(MdnsOptions options) : options_(std::move(options)) {}

MdnsResponder::~MdnsResponder() {
    stop();
    for (int fd : {fd_, stop_pipe_[0], stop_pipe_[1]})
        if (fd >= 0)
            ::close(fd);
}

bool MdnsResponder::multicast_reaches(const std::string& address) {
    in_addr a{};
    if (::inet_pton(AF_INET, address.c_str(), &a) != 1)
        return false;
    const auto nets = multicast_interfaces();
    return std::any_of(nets.begin(), nets.end(), [&](const auto& n) {
        return a.s_addr == INADDR_ANY || n.first == a.s_addr;
    });
}

bool MdnsResponder::start(std::string& error) {
    in_addr a{};
    if (::inet_pton(AF_INET, options_.address.c_str(), &a) != 1) {
        error = "mDNS: not an IPv4 address: " + options_.address;
        return false;
    }
    address_ = a.s_addr;
    auto fail = [&](const char* what) {
        error = std::string("mDNS responder: ") + what + ": " + std::strerror(errno);
        return false;
    };
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return fail("pipe");
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return fail("socket");
    const int on = 1, off = 0, ttl = 255;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    // Only the groups this socket joined, not every socket's on the host.
    ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in bind_to{};
    bind_to.sin_family = AF_INET;
    bind_to.sin_port = htons(dns::kMdnsPort);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&bind_to), sizeof bind_to) != 0)
        return fail("bind UDP 5353");
    int joined = 0;
    for (const auto& [net, index] : multicast_interfaces()) {
        if (address_ != INADDR_ANY && net != address_)
            continue;
        ip_mreqn m{};
        m.imr_multiaddr.s_addr = htonl(dns::kMdnsGroup);
        m.imr_address.s_addr = net;
        m.imr_ifindex = static_cast<int>(index);
        if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0)
            ++joined;
    }
    if (joined == 0) {
        error = "mDNS responder: no interface with multicast has " + options_.address;
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void MdnsResponder::stop() {
    if (!thread_.joinable())
        return;
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], &b, 1);
    thread_.join();
}

void MdnsResponder::run() {
    std::uint8_t buffer[9000];
    for (;;) {
        pollfd p[2] = {{stop_pipe_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        const int r = ::poll(p, 2, -1);  // until a question comes or the responder stops
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || p[0].revents != 0)
            return;
        sockaddr_in from{};
        iovec iov{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &msg, 0);
        if (n <= 0)
            continue;
        in_pktinfo info{};
        bool have_info = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                have_info = true;
            }
        // The address a browser on that network reaches this host at.
        const std::uint32_t local = address_ != INADDR_ANY ? address_
                                    : have_info            ? info.ipi_spec_dst.s_addr
                                                           : 0;
        if (local == 0)
            continue;
        dns::Message query, reply;
        if (!dns::decode({buffer, static_cast<std::size_t>(n)}, query) ||
            (query.flags & dns::kResponse) != 0)
            continue;
        const bool legacy = ntohs(from.sin_port) != dns::kMdnsPort;
        const bool unicast =
            legacy || std::any_of(query.questions.begin(), query.questions.end(),
                                  [](const dns::Question& q) { return q.unicast_response; });
        dns::Bytes bytes;
        if (!mdns_answer(options_, query, local, legacy, reply) || !dns::encode(reply, bytes))
            continue;
        sockaddr_in to = from;
        if (!unicast) {
            to.sin_addr.s_addr = htonl(dns::kMdnsGroup);
            to.sin_port = htons(dns::kMdnsPort);
            in_addr via{};
            via.s_addr = local;
            ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via);
        }
        ::sendto(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
}

}  // namespace sgsim
