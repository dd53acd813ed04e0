#include "scpi/status_registers.h"

namespace sgsim {

void StatusRegisters::record_error(int code) {
    if (code <= -100 && code > -200) {
        set_events(kCommandError);
    } else if (code <= -200 && code > -300) {
        set_events(kExecutionError);
    } else if (code <= -300 && code > -400) {
        set_events(kDeviceDependentError);
    } else if (code <= -400 && code > -500) {
        set_events(kQueryError);
    }
}

void StatusRegisters::set_events(std::uint8_t bits) {
    esr_ |= bits;
    update();
}

std::uint8_t StatusRegisters::read_event_status() {
    const std::uint8_t value = esr_;
    esr_ = 0;
    update();
    return value;
}

void StatusRegisters::clear_events() {
    esr_ = 0;
    update();
}

void StatusRegisters::set_event_enable(std::uint8_t value) {
    ese_ = value;
    update();
}

void StatusRegisters::set_service_request_enable(std::uint8_t value) {
    sre_ = static_cast<std::uint8_t>(value & ~kRequestService);
    update();
}

void StatusRegisters::set_error_queue_not_empty(bool on) {
    error_queue_not_empty_ = on;
    update();
}

void StatusRegisters::set_message_available(bool on) {
    message_available_ = on;
    update();
}

void StatusRegisters::set_own_request(bool on) {
    own_request_ = on;
    update();
}

std::uint8_t StatusRegisters::summary() const {
    std::uint8_t stb = 0;
    if (error_queue_not_empty_) {
        stb |= kErrorQueueNotEmpty;
    }
    if (message_available_) {
        stb |= kMessageAvailable;
    }
    if ((esr_ & ese_) != 0) {
        stb |= kEventStatusSummary;
    }
    return stb;
}

std::uint8_t StatusRegisters::status_byte(bool output_pending) const {
    std::uint8_t stb = summary();
    if (output_pending) {
        stb |= kMessageAvailable;
    }
    if ((stb & sre_) != 0 || own_request_) {
        stb |= kRequestService;
    }
    return stb;
}

std::uint8_t StatusRegisters::serial_poll() {
    const std::uint8_t stb = static_cast<std::uint8_t>(summary() | (rqs_ ? kRequestService : 0));
    rqs_ = false;
    return stb;
}

void StatusRegisters::update() {
    const std::uint8_t reasons =
        static_cast<std::uint8_t>((summary() & sre_) | (own_request_ ? kRequestService : 0));
    const bool new_reason = (reasons & ~reasons_) != 0;
    reasons_ = reasons;
    if (reasons == 0) {
        rqs_ = false;  // the request is withdrawn
        return;
    }
    if (new_reason && !rqs_) {
        rqs_ = true;
        const auto status_byte = static_cast<std::uint8_t>(summary() | kRequestService);
        if (handler_) {
            handler_(status_byte);
        }
        if (second_handler_) {
            second_handler_(status_byte);
        }
    }
}

}  // namespace sgsim
