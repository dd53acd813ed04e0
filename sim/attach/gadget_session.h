// One FunctionFS function serving a UsbtmcDevice: the ep0 events (enable,
// disable, class requests), the transfers on the bulk endpoint files and the
// notifications on the interrupt-IN endpoint file. The owner runs the event
// loop: it waits for ep0 and for the AIO eventfd, then calls on_ep0(),
// on_completions() and serve(), with wait_ms() as the timeout.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "gadget_aio.h"
#include "gadget_descriptors.h"
#include "usbtmc_device.h"

namespace sgsim::gadget {

class GadgetSession {
  public:
    // `ep0`, `ep_out`, `ep_in` and, when the device has interrupt-IN,
    // `ep_interrupt` are open (the endpoint files non-blocking; otherwise
    // `ep_interrupt` is -1). `wait_mask` is the signal mask under which a
    // blocking control data stage may be interrupted by a stop signal.
    GadgetSession(UsbtmcDevice& device, int ep0, int ep_out, int ep_in, int ep_interrupt,
                  const sigset_t& wait_mask);

    // Reads and answers the pending ep0 events (ep0 is non-blocking). False
    // on a fatal error, with a message on standard error.
    bool on_ep0(KernelAio& aio);

    // Handles the finished bulk transfers.
    void on_completions(KernelAio& aio);

    // Lets the device's time pass, then sends what it has: its next bulk-IN
    // transfer when the IN endpoint is free (nothing otherwise: the host
    // times out), its next interrupt packet when the interrupt endpoint is.
    void serve(KernelAio& aio);

    // How long the event loop may wait: until a delayed reply is due;
    // otherwise -1 (for events only).
    int wait_ms() const;

  private:
    void on_event(KernelAio& aio, const usb_functionfs_event& ev);
    void on_setup(const usb_ctrlrequest& req);
    void start_read(KernelAio& aio);
    void on_read(KernelAio& aio, std::int64_t result);
    void on_written(const KernelAio::Completion& c);
    bool submit_write(KernelAio& aio, std::size_t len, std::uint64_t tag);
    void send_reply(KernelAio& aio);
    void send_interrupt(KernelAio& aio);
    void halt_out();

    UsbtmcDevice& device_;
    int ep0_;
    int ep_out_;
    int ep_in_;
    int ep_interrupt_;
    sigset_t wait_mask_;
    bool trace_ = false;
    bool enabled_ = false;
    bool read_in_flight_ = false;
    int read_failures_ = 0;
    int writes_in_flight_ = 0;
    std::size_t out_packet_ = kHighSpeedPacket;
    std::size_t in_packet_ = kHighSpeedPacket;
    // Never reallocated: a read may still be in flight into it (each read
    // asks for one packet of the current speed, at most this many bytes).
    std::array<std::uint8_t, kHighSpeedPacket> out_buf_{};
    // Holds the reply being written; replaced only when no write is in flight.
    std::vector<std::uint8_t> in_buf_;
    // The notification being written; replaced only when it is not in flight.
    InterruptPacket interrupt_buf_{};
    bool interrupt_in_flight_ = false;
};

}  // namespace sgsim::gadget
