// The IEEE 488.2 status reporting of the simulated generator: the standard
// event status register (ESR) with its enable register (ESE), and the status
// byte (STB) with its service request enable register (SRE).
#pragma once

#include <cstdint>

namespace sgsim {

class StatusRegisters {
  public:
    // Standard event status register bits.
    static constexpr std::uint8_t kOperationComplete = 0x01;
    static constexpr std::uint8_t kQueryError = 0x04;
    static constexpr std::uint8_t kDeviceDependentError = 0x08;
    static constexpr std::uint8_t kExecutionError = 0x10;
    static constexpr std::uint8_t kCommandError = 0x20;
    static constexpr std::uint8_t kPowerOn = 0x80;

    // Status byte bits.
    static constexpr std::uint8_t kErrorQueueNotEmpty = 0x04;  // SCPI error/event queue
    static constexpr std::uint8_t kEventStatusSummary = 0x20;  // ESR & ESE != 0
    static constexpr std::uint8_t kMasterSummary = 0x40;       // STB & SRE != 0

    // Power on: the ESR holds only the power-on bit; enables are zero.
    StatusRegisters() = default;

    // Sets the ESR bit of the class of SCPI error `code` (-1xx command,
    // -2xx execution, -3xx device-dependent, -4xx query).
    void record_error(int code);
    void set_events(std::uint8_t bits) { esr_ |= bits; }

    // *ESR?: the register's value; reading clears it.
    std::uint8_t read_event_status();
    std::uint8_t event_status() const { return esr_; }
    // *CLS: clears the event register (the enables stay).
    void clear_events() { esr_ = 0; }

    void set_event_enable(std::uint8_t value) { ese_ = value; }
    std::uint8_t event_enable() const { return ese_; }
    // Bit 6 of the service request enable register is ignored.
    void set_service_request_enable(std::uint8_t value) {
        sre_ = static_cast<std::uint8_t>(value & ~kMasterSummary);
    }
    std::uint8_t service_request_enable() const { return sre_; }

    // *STB?: the status byte, given whether the error queue holds entries.
    std::uint8_t status_byte(bool error_queue_not_empty) const;

  private:
    std::uint8_t esr_ = kPowerOn;
    std::uint8_t ese_ = 0;
    std::uint8_t sre_ = 0;
};

}  // namespace sgsim
