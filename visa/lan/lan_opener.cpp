#include <variant>

#include "lan/lan_transports.h"
#include "trace/trace_reason.h"

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
    if (instr->protocol == LanProtocol::hislip) {
        trace::note_reason([] {
            return std::string(
                "HiSLIP is not served yet: name a VXI-11 device (inst0) or a "
                "SOCKET port");
        });
        return VI_ERROR_RSRC_NFOUND;
    }
    return open_vxi11_transport(instr->host, instr->device_name, deadline, out);
}

}  // namespace sgvisa::lan
