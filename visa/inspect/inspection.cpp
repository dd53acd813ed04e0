#include "inspect/inspection.h"

#include "api/builtin_transports.h"
#include "api/failure_words.h"
#include "api/status_text.h"
#include "libusb/libusb_library.h"
#include "libusb/sysfs_usbtmc_scan.h"
#include "libusb/usb_device_node.h"
#include "localbus/localbus_opener.h"
#include "lock/lock_holders.h"
#include "quirks/quirk_table.h"
#include "quirks/quirk_words.h"
#include "session/device_registry.h"
#include "transport/cancel_token.h"

namespace sgvisa::inspect {
namespace {

LockHolding holding_of(const lock::LockHolding& h) {
    return {h.held, h.pids};
}

}  // namespace

std::vector<UsbInterface> usb_interfaces(const std::string& sysfs_devices, Deadline deadline) {
    std::vector<UsbInterface> out;
    for (const libusb::UsbtmcInterfaceInfo& i :
         libusb::scan_usbtmc_interfaces(sysfs_devices, deadline)) {
        out.push_back({i.device, i.interface, i.vendor_id, i.product_id, i.serial, i.manufacturer,
                       i.product, i.bus, i.address, i.interface_number, i.interface_protocol});
    }
    return out;
}

bool libusb_present() {
    return libusb::libusb_api() != nullptr;
}

std::string usb_device_node_path(const std::string& root, unsigned bus, unsigned address) {
    return libusb::usb_device_node_path(root, bus, address);
}

std::vector<SimulatedInstrument> simulated_instruments(Deadline deadline) {
    std::vector<SimulatedInstrument> out;
    for (localbus::LocalbusDevice& d : localbus::list_localbus_devices(deadline)) {
        out.push_back({std::move(d.name), std::move(d.manufacturer), std::move(d.product),
                       d.interface_protocol, std::move(d.socket)});
    }
    return out;
}

LockHolders lock_holders(std::uint16_t vendor_id, std::uint16_t product_id,
                         const std::string& serial) {
    const lock::LockHolders locks = lock::lock_holders({vendor_id, product_id, serial});
    return {locks.known, holding_of(locks.exclusive), holding_of(locks.shared),
            holding_of(locks.access)};
}

std::string quirk_words(std::uint16_t vendor_id, std::uint16_t product_id) {
    return quirks::quirk_words(quirks::quirks_for(vendor_id, product_id));
}

ViStatus read_capabilities(const UsbResourceName& name, Deadline deadline,
                           std::vector<std::uint8_t>& answer) {
    answer.clear();
    api::register_builtin_transports();
    std::shared_ptr<session::DeviceConnection> connection;
    ViStatus st = session::connect_device(name, deadline, connection);
    if (st != VI_SUCCESS)
        return st;
    CancelToken token;
    session::DeviceConnection::Operation op;
    st = connection->begin(
        token, deadline, [] { return true; }, op);
    if (st != VI_SUCCESS)
        return st;
    const auto bytes = op.transport().capabilities_answer();
    answer.assign(bytes.begin(), bytes.end());
    return VI_SUCCESS;
}

std::string status_words(ViStatus status) {
    const api::StatusText* t = api::find_status_text(status);
    return t ? std::string(t->name) + " (" + t->description + ")" : std::to_string(status);
}

std::string status_name(ViStatus status) {
    const api::StatusText* t = api::find_status_text(status);
    return t ? std::string(t->name) : std::to_string(status);
}

std::string open_failure_reason(const std::string& resource, ViStatus status) {
    return api::failure_words("viOpen", status, resource.c_str());
}

}  // namespace sgvisa::inspect
