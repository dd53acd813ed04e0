#include "mdns_browse.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace sgvisa::lan {
namespace {

namespace dns = sgproto::dns;

enum Kind { kHislip, kVxi11, kScpiRaw, kLxi };
constexpr const char* kServiceTypes[] = {"_hislip._tcp.local", "_vxi-11._tcp.local",
                                         "_scpi-raw._tcp.local", "_lxi._tcp.local"};
constexpr std::uint16_t kHislipPort = 4880;

std::string folded(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return out;
}

int kind_of(std::string_view service) {
    for (int k = 0; k < 4; ++k)
        if (dns::same_name(service, kServiceTypes[k]))
            return k;
    return -1;
}

std::string dotted(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace

dns::Bytes MdnsBrowse::query() const {
    dns::Message m;
    for (const char* type : kServiceTypes)
        m.questions.push_back({type, dns::PTR, dns::kClassIn, true});
    dns::Bytes out;
    dns::encode(m, out);
    return out;
}

void MdnsBrowse::absorb(dns::ByteView datagram, std::uint32_t source) {
    dns::Message m;
    if (!dns::decode(datagram, m) || (m.flags & dns::kResponse) == 0)
        return;
    // PTRs first, so that an SRV in the same message finds its instance.
    std::vector<const dns::Record*> records;
    for (const auto* section : {&m.answers, &m.additionals})
        for (const dns::Record& r : *section)
            records.push_back(&r);
    for (const dns::Record* r : records) {
        const int kind = kind_of(r->name);
        if (r->type == dns::PTR && kind >= 0 && r->ttl != 0) {
            Instance& i = instances_[folded(r->target)];
            i.kind = kind;
            i.responder = source;
        }
    }
    for (const dns::Record* r : records) {
        if (r->type == dns::SRV) {
            const auto it = instances_.find(folded(r->name));
            if (it != instances_.end()) {
                it->second.has_srv = true;
                it->second.host = folded(r->target);
                it->second.port = r->port;
            }
        } else if (r->type == dns::A) {
            std::uint32_t a = 0;
            std::memcpy(&a, r->address.data(), 4);
            auto& list = addresses_[folded(r->name)];
            if (std::find(list.begin(), list.end(), a) == list.end())
                list.push_back(a);
        }
    }
}

bool MdnsBrowse::follow_up(unsigned times, std::vector<FollowUp>& out) {
    out.clear();
    auto ask = [&](std::uint32_t responder, const std::string& name, std::uint16_t type) {
        unsigned& n = asked_[name + '/' + std::to_string(type)];
        if (n >= times)
            return;
        ++n;
        auto it = std::find_if(out.begin(), out.end(),
                               [&](const FollowUp& f) { return f.responder == responder; });
        if (it == out.end()) {
            out.push_back({responder, {}});
            it = out.end() - 1;
        }
        dns::Message m;
        if (!it->query.empty())
            dns::decode(it->query, m);
        m.questions.push_back({name, type, dns::kClassIn, true});
        dns::encode(m, it->query);
    };
    for (const auto& [name, i] : instances_) {
        if (!i.has_srv)
            ask(i.responder, name, dns::SRV);
        else if (addresses_.find(i.host) == addresses_.end())
            ask(i.responder, i.host, dns::A);
    }
    return !out.empty();
}

std::vector<ResourceName> MdnsBrowse::found() const {
    std::vector<ResourceName> out;
    for (const auto& [name, i] : instances_) {
        const auto a = addresses_.find(i.host);
        if (!i.has_srv || a == addresses_.end() || a->second.empty())
            continue;
        // The address the responder answered from, when the host has it:
        // that one is on a network this host reaches.
        const auto& list = a->second;
        const bool has_source = std::find(list.begin(), list.end(), i.responder) != list.end();
        const std::string host = dotted(has_source ? i.responder : list.front());
        std::string text;
        switch (i.kind) {
            case kHislip:
                text = "TCPIP0::" + host + "::hislip0" +
                       (i.port == kHislipPort || i.port == 0 ? "" : "," + std::to_string(i.port)) +
                       "::INSTR";
                break;
            case kScpiRaw:
                text = "TCPIP0::" + host + "::" + std::to_string(i.port) + "::SOCKET";
                break;
            default:
                text = "TCPIP0::" + host + "::inst0::INSTR";
                break;
        }
        ResourceName parsed;
        if (parse_resource_name(text, parsed) == VI_SUCCESS)
            out.push_back(std::move(parsed));
    }
    return out;
}

}  // namespace sgvisa::lan
