// Instruments on the LAN as Transports: raw SOCKET (TCPIP::host::port::SOCKET),
// VXI-11 (TCPIP::host[::device][::INSTR]) and HiSLIP
// (TCPIP::host::hislipN[,port]::INSTR). Each open resolves the host
// and connects within `deadline`; a host that does not resolve is
// VI_ERROR_RSRC_NFOUND. The transports speak no USB: their facts are the
// peer's address, and their attributes the TCPIP ones.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/deadline.h"
#include "transport/resource_name.h"
#include "transport/transport.h"
#include "visa.h"

namespace sgvisa::lan {

// The environment variable that moves the portmapper a VXI-11 open asks
// from port 111 to another (a simulator run without root on a high port).
constexpr const char* kPortmapPortVariable = "SGVISA_PORTMAP_PORT";

// The opener of the registry (transport_openers.h) for TCPIP names: SOCKET,
// and INSTR by VXI-11 or HiSLIP as the device name says; with no device
// name, VXI-11 and then HiSLIP (hislip0), within the one deadline.
// VI_ERROR_RSRC_NFOUND for every other kind: USB, and the secure forms,
// which are never served by an insecure connection.
ViStatus open_lan_transport(const ResourceName& name, Deadline deadline,
                            std::unique_ptr<Transport>& out);

// Whether open_lan_transport opens names of this kind: what a discovery
// may list (every name a search returns must open).
bool serves_lan_name(const ResourceName& name);

// `host` as the resource name gave it, brackets of an IPv6 literal stripped.
ViStatus open_socket_transport(const std::string& host, std::uint16_t port, Deadline deadline,
                               std::unique_ptr<Transport>& out);

struct Vxi11Options {
    // Where the portmapper is asked: 0 for port 111, or the variable's.
    std::uint16_t portmap_port = 0;
    // How much longer than the I/O and lock timeouts the device was given a
    // call waits for its reply before it gives up on it: the device's own
    // timeout (error 15) comes first, unless it is not keeping time at all.
    std::chrono::milliseconds reply_margin{1000};
};

// `device` is the LAN device name ("inst0", "gpib0,5").
ViStatus open_vxi11_transport(const std::string& host, const std::string& device, Deadline deadline,
                              std::unique_ptr<Transport>& out, const Vxi11Options& options = {});

struct HislipOptions {
    // What the server may send us at most, in KiB
    // (VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB's default).
    std::uint32_t max_message_kb = 1024;
};

// `device` is the HiSLIP device name with its port if any ("hislip0",
// "hislip0,4881").
ViStatus open_hislip_transport(const std::string& host, const std::string& device,
                               Deadline deadline, std::unique_ptr<Transport>& out,
                               const HislipOptions& options = {});

}  // namespace sgvisa::lan
