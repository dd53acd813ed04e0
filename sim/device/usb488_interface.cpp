#include "usb488_interface.h"

#include "proto/usbtmc.h"

namespace sgsim {

namespace tmc = sgproto::usbtmc;

Usb488Interface::Usb488Interface(StatusRegisters& status, bool interrupt_in)
    : status_(status), interrupt_in_(interrupt_in) {
    if (interrupt_in_) {
        status_.set_service_request_handler([this](std::uint8_t status_byte) {
            interrupts_.push({tmc::kNotifyServiceRequest, status_byte});
        });
    }
}

Usb488Interface::~Usb488Interface() {
    if (interrupt_in_)
        status_.set_service_request_handler({});
}

std::vector<std::uint8_t> Usb488Interface::read_status_byte(std::uint16_t tag) {
    const auto btag = static_cast<std::uint8_t>(tag);
    std::vector<std::uint8_t> r{tmc::STATUS_SUCCESS, btag, 0};
    if (tag < tmc::kMinStatusTag || tag > tmc::kMaxStatusTag) {
        r[0] = tmc::STATUS_FAILED;  // its notification would read as another kind
        return r;
    }
    if (!interrupt_in_) {
        r[2] = status_.serial_poll();
        return r;
    }
    if (interrupts_.holds_status_answer()) {
        r[0] = tmc::STATUS_INTERRUPT_IN_BUSY;
        return r;
    }
    interrupts_.push({tmc::notify_status_byte(btag), status_.serial_poll()});
    return r;
}

std::vector<std::uint8_t> Usb488Interface::ren_control(std::uint16_t value) {
    if (value > 1)
        return {tmc::STATUS_FAILED};
    remote_local_.set_remote_enable(value == 1);
    return {tmc::STATUS_SUCCESS};
}

std::vector<std::uint8_t> Usb488Interface::go_to_local() {
    remote_local_.go_to_local();
    return {tmc::STATUS_SUCCESS};
}

std::vector<std::uint8_t> Usb488Interface::local_lockout() {
    remote_local_.local_lockout();
    return {tmc::STATUS_SUCCESS};
}

std::uint8_t Usb488Interface::interface_capabilities() const {
    return tmc::kUsb488CapIeee4882 | tmc::kUsb488CapRemoteLocal | tmc::kUsb488CapTrigger;
}

std::uint8_t Usb488Interface::device_capabilities() const {
    // A service request reaches the host only through interrupt-IN.
    return static_cast<std::uint8_t>(tmc::kUsb488DeviceScpi | tmc::kUsb488DeviceRl1 |
                                     tmc::kUsb488DeviceDt1 |
                                     (interrupt_in_ ? tmc::kUsb488DeviceSr1 : 0));
}

}  // namespace sgsim
