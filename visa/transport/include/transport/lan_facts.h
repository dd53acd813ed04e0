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
    // A secure connection's (HiSLIP 2.0): the server's certificate as the
    // VI_ATTR_TCPIP_SERVER_CERT* attributes show it, the cipher suite and
    // the SASL mechanism, by their IANA names.
    bool secure = false;
    std::string cert_issuer;
    std::string cert_subject;
    std::string cert_expiration;
    bool cert_perpetual = false;
    std::string cert_chain_pem;
    std::string cipher_suite;
    std::string sasl_mechanism;
};

}  // namespace sgvisa
