// The socket calls the LAN services share: listening, connecting with a
// bound, and sending a message whole. Every wait polls with a deadline and
// the server's stop descriptor, so that nothing outlives a stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "device/usbtmc_device.h"

namespace sgsim::network {

// A non-blocking TCP (or UDP) socket bound to `address` (IPv4, host order)
// and `port` (0: the kernel picks), listening when TCP. -1, with a reason
// in `error`, when it cannot be had.
int listen_tcp(std::uint32_t address, std::uint16_t port, std::string& error);
int bind_udp(std::uint32_t address, std::uint16_t port, std::string& error);
// A listening IPv6 TCP socket on [::1] (`any` false) or [::] (true), for
// IPv6 only, beside the IPv4 one; -1, with a reason, when it cannot be had.
int listen_tcp6(bool any, std::uint16_t port, std::string& error);
// The port a bound socket has.
std::uint16_t local_port(int fd);

// Nagle off: each message goes out as soon as it is written.
void set_nodelay(int fd);

// Connects to `address`:`port` within `bound`; -1 when it cannot.
int connect_tcp(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds bound);

// Sends `data` whole: one sendmsg, and when the socket buffer takes only
// part, the rest as it drains, until `deadline`. False when the peer is
// gone, the deadline passes or `stop_fd` becomes readable.
bool send_whole(int fd, std::span<const std::uint8_t> data, int stop_fd,
                Clock::time_point deadline);

// Milliseconds from now to `deadline`, for poll(): 0 once passed, -1 for
// none (Clock::time_point::max()).
int poll_timeout(Clock::time_point deadline);

}  // namespace sgsim::network
