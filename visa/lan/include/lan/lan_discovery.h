// Finding instruments on the local networks, for viFindRsrc: a VXI-11
// broadcast (vxi11_broadcast.h) and an mDNS/DNS-SD browse (mdns_browse.h)
// on every IPv4 interface that is up and not the loopback, both at once, in
// one poll loop with one deadline. Only names this library opens come
// back (serves_lan_name).
#pragma once

#include <vector>

#include "transport/deadline.h"
#include "transport/resource_name.h"

namespace sgvisa::lan {

// How long a search listens for answers, in milliseconds: 0 turns LAN
// discovery off; at most kMaxDiscoveryMs; unset or not a number,
// kDefaultDiscoveryMs.
constexpr const char* kDiscoveryVariable = "SGVISA_DISCOVERY_MS";
// Enough for a responder's answer, which mDNS may delay by up to 120 ms,
// and one more question for what it left out, on a LAN; well under the
// second a user waits for a list without noticing.
constexpr unsigned kDefaultDiscoveryMs = 300;
constexpr unsigned kMaxDiscoveryMs = 2000;  // a search's own bound (find_api.cpp)

// The bound the variable gives now.
unsigned discovery_ms();

// A NetworkLister (transport_openers.h): appends what answers before
// `deadline` or the bound, each once.
void discover_lan_instruments(Deadline deadline, std::vector<ResourceName>& out);

}  // namespace sgvisa::lan
