#include "transport/resource_name.h"

#include <cstddef>

namespace sgvisa {
namespace {

bool equal_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

}  // namespace

ViStatus parse_resource_name(std::string_view text, ResourceName& out) {
    UsbResourceName usb;
    if (parse_usb_resource_name(text, usb) == VI_SUCCESS) {
        out = std::move(usb);
        return VI_SUCCESS;
    }
    TcpipInstrName instr;
    if (parse_tcpip_instr_name(text, instr) == VI_SUCCESS) {
        out = std::move(instr);
        return VI_SUCCESS;
    }
    TcpipSocketName socket;
    if (parse_tcpip_socket_name(text, socket) == VI_SUCCESS) {
        out = std::move(socket);
        return VI_SUCCESS;
    }
    return VI_ERROR_INV_RSRC_NAME;
}

std::string canonical_name(const ResourceName& name) {
    return std::visit([](const auto& n) { return canonical_name(n); }, name);
}

bool same_resource(const ResourceName& a, const ResourceName& b) {
    if (a.index() != b.index())
        return false;
    if (const auto* ua = std::get_if<UsbResourceName>(&a)) {
        const auto& ub = std::get<UsbResourceName>(b);
        return ua->vendor_id == ub.vendor_id && ua->product_id == ub.product_id &&
               ua->interface_number == ub.interface_number && serial_equal(ua->serial, ub.serial);
    }
    // LAN names: board, host and device name or port, as the canonical
    // spelling gives them, host and device names without regard to case.
    return equal_folded(canonical_name(a), canonical_name(b));
}

}  // namespace sgvisa
