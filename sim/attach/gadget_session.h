// One FunctionFS function serving a UsbtmcDevice: the ep0 events (enable,
// disable, class requests), the transfers on the bulk endpoint files and the
// notifications on the interrupt-IN endpoint file. The owner runs the event
// loop: it waits for ep0 and for the AIO eventfd, then calls on_ep0(),
// on_completions() and serve(), with wait_ms() as the timeout.
//
// Each bulk-IN transfer is written as packet_shape.h plans it for the speed
// the host connected at and the device's quirks: in one write (the UDC cuts
// the packets) and a zero-length write after a full last packet; under
// packet64 one write per packet of at most 64 bytes; no zero-length write
// under no-zlp; one before each transfer under leading-empty.
//
// halt-after-close: nothing on the bus says that a host went away (a
// program that releases the interface and closes the device sends nothing),
// but every host asks GET_CAPABILITIES before it talks to the device (the
// kernel's usbtmc driver when it binds, our library and pyvisa-py when they
// open). So a GET_CAPABILITIES after bulk-OUT traffic since the last halt
// counts as the next host: both bulk endpoints halt before it is answered,
// and stay halted until the host clears them (CLEAR_FEATURE(ENDPOINT_HALT),
// which the UDC answers). A USB reset or SET_CONFIGURATION before the
// capabilities clears nothing then; one after them clears the halts, as for
// any device.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "attach/packet_shape.h"
#include "device/usbtmc_device.h"
#include "gadget_aio.h"
#include "gadget_descriptors.h"

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

    // Lets the device's time pass, then sends what it has: the next writes
    // of its bulk-IN transfer, or the next transfer (committed ones first)
    // once the last one is written (nothing otherwise: the host times out),
    // its next interrupt packet when the interrupt endpoint is free.
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
    bool submit_write(KernelAio& aio, const EndpointWrite& w);
    void send_reply(KernelAio& aio);
    void send_interrupt(KernelAio& aio);
    void halt_out();
    // halt-after-close: halts both bulk endpoints when the device says a
    // host went away.
    void halt_after_host();

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
    // Holds the reply being written; replaced only when no write is in
    // flight. Its writes, the next one to submit.
    std::vector<std::uint8_t> in_buf_;
    std::vector<EndpointWrite> in_writes_;
    std::size_t next_write_ = 0;
    // The notification being written; replaced only when it is not in flight.
    InterruptPacket interrupt_buf_{};
    bool interrupt_in_flight_ = false;
};

}  // namespace sgsim::gadget
