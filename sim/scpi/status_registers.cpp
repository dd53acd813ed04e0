#include "status_registers.h"

namespace sgsim {

void StatusRegisters::record_error(int code) {
    if (code <= -100 && code > -200) {
        esr_ |= kCommandError;
    } else if (code <= -200 && code > -300) {
        esr_ |= kExecutionError;
    } else if (code <= -300 && code > -400) {
        esr_ |= kDeviceDependentError;
    } else if (code <= -400 && code > -500) {
        esr_ |= kQueryError;
    }
}

std::uint8_t StatusRegisters::read_event_status() {
    const std::uint8_t value = esr_;
    esr_ = 0;
    return value;
}

std::uint8_t StatusRegisters::status_byte(bool error_queue_not_empty) const {
    std::uint8_t stb = 0;
    if (error_queue_not_empty) {
        stb |= kErrorQueueNotEmpty;
    }
    if ((esr_ & ese_) != 0) {
        stb |= kEventStatusSummary;
    }
    if ((stb & sre_) != 0) {
        stb |= kMasterSummary;
    }
    return stb;
}

}  // namespace sgsim
