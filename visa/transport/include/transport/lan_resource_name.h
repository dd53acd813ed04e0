// Parsed VISA resource names of LAN instruments:
//   TCPIP[board]::host[::LAN device name][::INSTR]
//   TCPIP[board]::host::port::SOCKET
// with the host a name, a dotted IPv4 address or an IPv6 literal in brackets
// ("TCPIP::[::1]::5025::SOCKET"), taken before the rest is split on "::".
// The secure forms, "@host", "cred@host" and "#cred@host", parse with
// `secure` set: they ask for a secure connection and must never be served
// by an insecure one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "visa.h"

namespace sgvisa {

// The protocol a TCPIP INSTR name selects by its LAN device name.
enum class LanProtocol {
    unspecified,  // no device name: VXI-11, as the standard tries it first
    vxi11,        // instN, vxiN, gpibN[,M]
    hislip,       // hislipN[,port]
};

struct TcpipInstrName {
    unsigned board = 0;
    std::string host;  // without the brackets of an IPv6 literal
    std::string device_name = "inst0";
    LanProtocol protocol = LanProtocol::unspecified;
    bool secure = false;
    std::string credential;  // of a secure name, as written ("" for "@host")
};

struct TcpipSocketName {
    unsigned board = 0;
    std::string host;
    std::uint16_t port = 0;
    bool secure = false;
    std::string credential;
};

// Parse one of the two forms; VI_SUCCESS or VI_ERROR_INV_RSRC_NAME. A name of
// the other form or of another interface type is invalid here.
ViStatus parse_tcpip_instr_name(std::string_view text, TcpipInstrName& out);
ViStatus parse_tcpip_socket_name(std::string_view text, TcpipSocketName& out);

// Canonical forms: TCPIP<board>::<host>::<device name>::INSTR and
// TCPIP<board>::<host>::<port>::SOCKET, an IPv6 host in brackets, the
// credential of a secure name before the host.
std::string canonical_name(const TcpipInstrName& name);
std::string canonical_name(const TcpipSocketName& name);

// The host as a resource name spells it: an IPv6 literal in brackets.
std::string spelled_host(const std::string& host);

}  // namespace sgvisa
