// The simulator's own mDNS/DNS-SD responder (RFC 6762, RFC 6763), as an
// instrument has one: it answers questions for the services it is given
// (PTR of "<type>.local", SRV and TXT of "<instance>.<type>.local"), for
// its host's A record ("<host>.local"), and for the enumeration of service
// types (_services._dns-sd._udp.local). No daemon and no D-Bus: it runs in
// a bare network namespace and in CI.
//
// It listens on UDP 5353 (shared with another responder on the host: the
// port is bound with SO_REUSEADDR), in the group 224.0.0.251 on the
// interface that has `address`, or on every multicast interface for
// 0.0.0.0. A question with the QU bit, or from a port other than 5353, is
// answered straight back; any other by multicast on the interface it came
// in on. It does not probe for its names nor announce them: a browser asks.
// One thread; stop() (or the destructor) ends it.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "proto/dns.h"

namespace sgsim {

struct MdnsService {
    std::string type;  // "_vxi-11._tcp"
    std::uint16_t port = 0;
};

struct MdnsOptions {
    std::string address = "0.0.0.0";  // IPv4 the instrument serves on
    std::string host;                 // "sgsim-SIM001": the A record is "<host>.local"
    std::string instance;             // "sgsim SIM001", free text
    std::vector<MdnsService> services;
    std::vector<std::string> text;  // every service's TXT strings
};

// The answer to `query`, with `local` (network order) as the host's
// address; false when it asks nothing this responder has.
bool mdns_answer(const MdnsOptions& options, const sgproto::dns::Message& query,
                 std::uint32_t local, bool legacy_unicast, sgproto::dns::Message& reply);

class MdnsResponder {
  public:
    explicit MdnsResponder(MdnsOptions options);
    ~MdnsResponder();
    MdnsResponder(const MdnsResponder&) = delete;
    MdnsResponder& operator=(const MdnsResponder&) = delete;

    // Whether `address` (IPv4 text) is on an interface that is up and has
    // multicast, or is 0.0.0.0 and some interface has: where adverts reach.
    static bool multicast_reaches(const std::string& address);

    // False, with a one-line reason in `error`, when the port or the group
    // cannot be had.
    bool start(std::string& error);
    void stop();

  private:
    void run();

    MdnsOptions options_;
    std::uint32_t address_ = 0;  // network order; 0 for every interface
    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace sgsim
