#include "api/builtin_transports.h"

#include <iterator>
#include <mutex>
#include <string_view>

#include "lan/lan_discovery.h"
#include "lan/lan_transports.h"
#include "libusb/libusb_opener.h"
#include "localbus/localbus_opener.h"
#include "transport/transport_openers.h"
#include "visa.h"

namespace sgvisa::api {
namespace {

// What the built-in links open. A link for another interface (TCPIP
// INSTR and SOCKET, say) adds its row here with its opener above.
struct ServedKind {
    std::uint16_t interface_type;
    std::string_view resource_class;
};
constexpr ServedKind kServed[] = {
    {VI_INTF_USB, "INSTR"}, {VI_INTF_TCPIP, "INSTR"}, {VI_INTF_TCPIP, "SOCKET"}};

const char* interface_word(std::uint16_t type) {
    switch (type) {
        case VI_INTF_GPIB:
            return "GPIB";
        case VI_INTF_VXI:
            return "VXI";
        case VI_INTF_GPIB_VXI:
            return "GPIB-VXI";
        case VI_INTF_ASRL:
            return "ASRL (serial)";
        case VI_INTF_PXI:
            return "PXI";
        case VI_INTF_TCPIP:
            return "TCPIP";
        case VI_INTF_USB:
            return "USB";
        default:
            return "this";
    }
}

}  // namespace

void register_builtin_transports() {
    static std::once_flag once;
    std::call_once(once, [] {
        register_transport_backend(
            {usb_opener(localbus::open_localbus_transport), localbus::list_localbus_resources});
        register_transport_backend(
            {usb_opener(libusb::open_libusb_transport), libusb::list_libusb_resources});
        // Lists what answers a discovery, when a search's pattern can match
        // a LAN name.
        register_transport_backend(
            {lan::open_lan_transport, nullptr, lan::discover_lan_instruments});
    });
}

bool asks_secure_connection(const ResourceName& name) {
    if (const auto* instr = std::get_if<TcpipInstrName>(&name))
        return instr->secure;
    if (const auto* socket = std::get_if<TcpipSocketName>(&name))
        return socket->secure;
    return false;
}

std::string secure_refusal_reason() {
    return "the resource name asks for a secure connection (a credential or \"@\" before the "
           "host), which this library does not make yet; it never falls back to an insecure "
           "one: drop the \"@\" part to connect without TLS";
}

bool serves(std::uint16_t interface_type, std::string_view resource_class) {
    for (const ServedKind& kind : kServed) {
        if (kind.interface_type == interface_type && kind.resource_class == resource_class)
            return true;
    }
    return false;
}

std::string not_served_reason(std::uint16_t interface_type, std::string_view resource_class) {
    return std::string("this library does not serve ") + interface_word(interface_type) + " " +
           std::string(resource_class) +
           " resources: it serves USB INSTR, TCPIP INSTR (VXI-11) and TCPIP SOCKET resources "
           "(USBTMC and USB488 instruments on USB and on the simulator's local bus, instruments "
           "on the LAN); PyVISA's other backends (pyvisa-py, \"@py\") serve GPIB, serial and "
           "USB RAW resources";
}

}  // namespace sgvisa::api
