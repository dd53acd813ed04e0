#include <variant>

#include "lan/lan_transports.h"

namespace sgvisa::lan {

ViStatus open_lan_transport(const ResourceName& name, Deadline deadline,
                            std::unique_ptr<Transport>& out) {
    if (const auto* socket = std::get_if<TcpipSocketName>(&name)) {
        if (socket->secure)
            return VI_ERROR_RSRC_NFOUND;
        return open_socket_transport(socket->host, socket->port, deadline, out);
    }
    const auto* instr = std::get_if<TcpipInstrName>(&name);
    if (instr == nullptr || instr->secure)
        return VI_ERROR_RSRC_NFOUND;
    if (instr->protocol == LanProtocol::hislip)
        return open_hislip_transport(instr->host, instr->device_name, deadline, out);
    const ViStatus st = open_vxi11_transport(instr->host, instr->device_name, deadline, out);
    // No device name: VXI-11 first, then HiSLIP, as the standard's rule
    // orders them; only where VXI-11 is not there at all, and within the
    // same open timeout (a host that does not answer has used it up).
    if (st != VI_ERROR_RSRC_NFOUND || instr->protocol != LanProtocol::unspecified ||
        Clock::now() >= deadline)
        return st;
    return open_hislip_transport(instr->host, "hislip0", deadline, out);
}

bool serves_lan_name(const ResourceName& name) {
    if (const auto* socket = std::get_if<TcpipSocketName>(&name))
        return !socket->secure;
    const auto* instr = std::get_if<TcpipInstrName>(&name);
    return instr != nullptr && !instr->secure;
}

}  // namespace sgvisa::lan
