// What serves one accepted connection of each LAN service, on a thread of
// its own, until the peer closes it or the server stops (`stop_fd` becomes
// readable). Each reply goes out whole, in one write where the socket
// takes it.
#pragma once

#include <cstdint>

#include "network/shared_instrument.h"
#include "portmapper.h"

namespace sgsim::network {

// The largest device_write data a link takes (create_link's maxRecvSize,
// unless the max-recv quirk gives another).
constexpr std::uint32_t kMaxRecvSize = 1u << 20;

struct CoreContext {
    std::uint64_t connection = 0;  // unique per connection
    int stop_fd = -1;
    std::uint16_t abort_port = 0;
};

// The VXI-11 core channel: the links made on it are destroyed, their lock
// released and its interrupt channel closed when it ends.
void serve_core_connection(int fd, SharedInstrument& shared, const CoreContext& context);
// The VXI-11 abort channel: device_abort.
void serve_abort_connection(int fd, SharedInstrument& shared, int stop_fd);
// The portmapper over TCP.
void serve_portmap_connection(int fd, const PortmapTable& table, int stop_fd);
// Raw SOCKET: each program message ends at a linefeed; its response is
// written whole when ready.
void serve_socket_connection(int fd, SharedInstrument& shared, int stop_fd);

class HislipSessions;
struct HislipContext {
    HislipSessions* sessions = nullptr;  // pairs the two connections of a session
    std::uint64_t connection = 0;        // unique per connection
    int stop_fd = -1;
};
// HiSLIP: either connection of a session, as its first message says
// (hislip_service.cpp); a session ends, its locks released, when either
// connection does.
void serve_hislip_connection(int fd, SharedInstrument& shared, const HislipContext& context);

}  // namespace sgsim::network
