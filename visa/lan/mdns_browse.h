// Finding LAN instruments by mDNS/DNS-SD: what to ask, and what the answers
// name. One query asks for every service type an instrument advertises
// (PTR of _hislip._tcp, _vxi-11._tcp, _scpi-raw._tcp and _lxi._tcp in
// .local), with the QU bit, from a port other than 5353, so responders may
// answer straight back. An answer's instance needs its SRV record (host
// and port) and the host's A record; responders usually add both, and
// follow_up() asks for whatever is still missing.
//
// No sockets here: the discovery loop (lan_discovery.cpp) sends and
// receives. One browse per search, on one thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "proto/dns.h"
#include "transport/resource_name.h"

namespace sgvisa::lan {

class MdnsBrowse {
  public:
    sgproto::dns::Bytes query() const;

    // Takes one datagram that came from `source` (an IPv4 address, network
    // order); anything that is not a response is ignored.
    void absorb(sgproto::dns::ByteView datagram, std::uint32_t source);

    // A query for the SRV and A records still missing, each asked at most
    // `times` times in all, and where to send it (the responder that named
    // the instance). False when there is nothing more to ask.
    struct FollowUp {
        std::uint32_t responder = 0;
        sgproto::dns::Bytes query;
    };
    bool follow_up(unsigned times, std::vector<FollowUp>& out);

    // The resource names of the instances complete so far: TCPIP INSTR by
    // VXI-11 (_vxi-11, _lxi) or HiSLIP (_hislip), TCPIP SOCKET (_scpi-raw).
    std::vector<ResourceName> found() const;

  private:
    struct Instance {
        int kind = 0;  // index into the service types
        std::uint32_t responder = 0;
        bool has_srv = false;
        std::string host;
        std::uint16_t port = 0;
    };
    // Keyed by the name folded to lower case.
    std::map<std::string, Instance> instances_;
    std::map<std::string, std::vector<std::uint32_t>> addresses_;
    std::map<std::string, unsigned> asked_;
};

}  // namespace sgvisa::lan
