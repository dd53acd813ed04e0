// What a LAN transport knows of its instrument once connected: what the
// session layer reports as the VI_ATTR_TCPIP_* attributes.
#pragma once

#include <cstdint>
#include <string>

namespace sgvisa {

struct LanFacts {
    std::string address;   // the peer's address, dotted IPv4 or IPv6 text
    std::string hostname;  // the host as the resource name gave it; "" for an address
    std::uint16_t port = 0;
    std::string device_name;  // the LAN device name (INSTR); "" for SOCKET
    bool is_hislip = false;
    bool is_socket = false;
};

}  // namespace sgvisa
