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
    // Not served, which is not the same as not there (the words are the
    // failure reason's).
    if (instr->protocol == LanProtocol::hislip)
        return VI_ERROR_NSUP_OPER;
    return open_vxi11_transport(instr->host, instr->device_name, deadline, out);
}

bool serves_lan_name(const ResourceName& name) {
    if (const auto* socket = std::get_if<TcpipSocketName>(&name))
        return !socket->secure;
    const auto* instr = std::get_if<TcpipInstrName>(&name);
    return instr != nullptr && !instr->secure && instr->protocol != LanProtocol::hislip;
}

}  // namespace sgvisa::lan
