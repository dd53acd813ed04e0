// The portmapper, version 2 (RFC 1833, 3): the binder on port 111 that tells
// a client on which port a program is served. VXI-11 clients ask it for the
// core channel's port with GETPORT; instruments run one of their own, and so
// does the simulator. Only what that takes is here: the program's numbers,
// its procedures, and the mapping GETPORT carries (its result is one
// unsigned int, the port, 0 when the program is not registered).
#pragma once

#include <cstdint>

#include "proto/xdr.h"

namespace sgproto::oncrpc {

constexpr std::uint32_t kPortmapProgram = 100000;
constexpr std::uint32_t kPortmapVersion = 2;
constexpr std::uint16_t kPortmapPort = 111;

enum PortmapProc : std::uint32_t {
    PMAPPROC_NULL = 0,
    PMAPPROC_SET = 1,
    PMAPPROC_UNSET = 2,
    PMAPPROC_GETPORT = 3,
    PMAPPROC_DUMP = 4,
    PMAPPROC_CALLIT = 5,
};

// Mapping's prot.
constexpr std::uint32_t kIpProtoTcp = 6;
constexpr std::uint32_t kIpProtoUdp = 17;

// GETPORT's argument (port ignored), and SET's and UNSET's.
struct Mapping {
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t prot = kIpProtoTcp;
    std::uint32_t port = 0;
};

void encode(XdrWriter& w, const Mapping& m);
bool decode(XdrReader& r, Mapping& m);

// GETPORT's result. A port above 65535 fails the decode.
struct PortResult {
    std::uint16_t port = 0;
};

void encode(XdrWriter& w, const PortResult& p);
bool decode(XdrReader& r, PortResult& p);

}  // namespace sgproto::oncrpc
