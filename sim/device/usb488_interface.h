// The USB488 side of the simulated device: the status byte a host reads with
// READ_STATUS_BYTE, the interrupt-IN notifications (service requests and the
// answers to READ_STATUS_BYTE), the remote/local state, and what
// GET_CAPABILITIES claims for USB488.
//
// With an interrupt-IN endpoint, READ_STATUS_BYTE answers STATUS_SUCCESS,
// its bTag and 0 in the control transfer, and queues the notification
// {0x80 | bTag, status byte}; each service request the instrument raises is
// queued as {0x81, status byte}. The status byte of READ_STATUS_BYTE is a
// serial poll: bit 6 is RQS, which the poll clears. Without the endpoint the
// control transfer carries the status byte, and service requests are only
// seen by polling.
#pragma once

#include <cstdint>
#include <vector>

#include "device/interrupt_queue.h"
#include "device/remote_local.h"
#include "scpi/status_registers.h"

namespace sgsim {

class Usb488Interface {
  public:
    // Announces the service requests of `status` on interrupt-IN when
    // `interrupt_in`; `status` must outlive this object.
    Usb488Interface(StatusRegisters& status, bool interrupt_in);
    ~Usb488Interface();  // takes its handler back from `status`
    Usb488Interface(const Usb488Interface&) = delete;
    Usb488Interface& operator=(const Usb488Interface&) = delete;

    bool has_interrupt_in() const { return interrupt_in_; }

    // The data stages (USBTMC_status first) of the USB488 class requests.
    // READ_STATUS_BYTE refuses a bTag outside 2..127 (STATUS_FAILED), and
    // answers STATUS_INTERRUPT_IN_BUSY while the notification of an earlier
    // one still waits in the queue. REN_CONTROL takes wValue 0 (deassert) or
    // 1 (assert); any other value is STATUS_FAILED and changes nothing.
    std::vector<std::uint8_t> read_status_byte(std::uint16_t tag);
    std::vector<std::uint8_t> ren_control(std::uint16_t value);
    std::vector<std::uint8_t> go_to_local();
    std::vector<std::uint8_t> local_lockout();

    // GET_CAPABILITIES bytes 14 (USB488 interface) and 15 (USB488 device).
    std::uint8_t interface_capabilities() const;
    std::uint8_t device_capabilities() const;

    // A message addressed the device (DEV_DEP_MSG_OUT, TRIGGER).
    void addressed() { remote_local_.addressed(); }
    const RemoteLocal& remote_local() const { return remote_local_; }

    InterruptQueue& interrupts() { return interrupts_; }
    const InterruptQueue& interrupts() const { return interrupts_; }

    // The host went away or reset the device: the answers to its
    // READ_STATUS_BYTE requests still queued are dropped.
    void reset() { interrupts_.drop_status_answers(); }

  private:
    StatusRegisters& status_;
    bool interrupt_in_;
    RemoteLocal remote_local_;
    InterruptQueue interrupts_;
};

}  // namespace sgsim
