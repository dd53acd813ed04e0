// The IEEE 488.2 status reporting of a simulated instrument: the standard
// event status register (ESR) with its enable register (ESE), the status byte
// (STB) with its service request enable register (SRE), and the service
// request (RQS) that a new reason for service raises.
//
// Status byte: bit 2 error/event queue not empty, bit 4 MAV (a response
// waits to be read), bit 5 ESB (ESR & ESE != 0), bit 6 MSS in *STB? (the
// instrument wants service: STB & SRE != 0, or its own request) and RQS in a
// serial poll (READ_STATUS_BYTE).
//
// RQS is set when a reason for service appears that was not there before: an
// enabled status byte bit turns on (a condition, or *SRE enabling one that
// is on), or the instrument requests service on its own. Setting it is
// announced once, to the service request handler. A serial poll reads RQS
// and clears it; RQS is also withdrawn when no reason is left (MSS false).
// Reasons that stay on do not raise it again: only a new one does.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

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
    static constexpr std::uint8_t kMessageAvailable = 0x10;    // MAV
    static constexpr std::uint8_t kEventStatusSummary = 0x20;  // ESB: ESR & ESE != 0
    static constexpr std::uint8_t kRequestService = 0x40;      // MSS in *STB?, RQS when polled

    // Called with the status byte (RQS set) each time RQS is set.
    using ServiceRequestHandler = std::function<void(std::uint8_t status_byte)>;

    // Power on: the ESR holds only the power-on bit; enables are zero.
    StatusRegisters() = default;
    StatusRegisters(const StatusRegisters&) = delete;
    StatusRegisters& operator=(const StatusRegisters&) = delete;

    void set_service_request_handler(ServiceRequestHandler handler) {
        handler_ = std::move(handler);
    }
    // A second handler, told after the first: the interface that serves the
    // same instrument on the LAN beside the USB one.
    void set_second_service_request_handler(ServiceRequestHandler handler) {
        second_handler_ = std::move(handler);
    }

    // Sets the ESR bit of the class of SCPI error `code` (-1xx command,
    // -2xx execution, -3xx device-dependent, -4xx query).
    void record_error(int code);
    void set_events(std::uint8_t bits);

    // *ESR?: the register's value; reading clears it.
    std::uint8_t read_event_status();
    std::uint8_t event_status() const { return esr_; }
    // *CLS: clears the event register (the enables stay).
    void clear_events();

    void set_event_enable(std::uint8_t value);
    std::uint8_t event_enable() const { return ese_; }
    // Bit 6 of the service request enable register is ignored.
    void set_service_request_enable(std::uint8_t value);
    std::uint8_t service_request_enable() const { return sre_; }

    // The conditions the status byte summarises.
    void set_error_queue_not_empty(bool on);
    void set_message_available(bool on);
    // The instrument wants service on its own, whatever SRE enables.
    void set_own_request(bool on);

    // *STB?: the status byte with MSS in bit 6; reading clears nothing.
    // `output_pending` adds MAV for a response not yet handed to the
    // interface (answers of the program message being run).
    std::uint8_t status_byte(bool output_pending = false) const;
    // A serial poll (READ_STATUS_BYTE): the status byte with RQS in bit 6;
    // RQS is cleared.
    std::uint8_t serial_poll();
    bool service_requested() const { return rqs_; }

  private:
    std::uint8_t summary() const;
    // After every change: raises or withdraws RQS.
    void update();

    std::uint8_t esr_ = kPowerOn;
    std::uint8_t ese_ = 0;
    std::uint8_t sre_ = 0;
    bool error_queue_not_empty_ = false;
    bool message_available_ = false;
    bool own_request_ = false;
    bool rqs_ = false;
    // The reasons for service at the last update: enabled status byte bits,
    // and kRequestService for the instrument's own request.
    std::uint8_t reasons_ = 0;
    ServiceRequestHandler handler_;
    ServiceRequestHandler second_handler_;
};

}  // namespace sgsim
