// The transfer-level interface under the USBTMC host protocol: what a USB
// device offers a host, with no libusb types. libusb implements it for real
// devices; the simulator's local bus implements it for simulated ones.
//
// Threads: one thread at a time makes transfers (the session layer
// serialises operations on a device); cancel() may come from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "transport/deadline.h"
#include "transport/usb_device_facts.h"
#include "visa.h"

namespace sgvisa::usbtmc {

// The interrupt-IN endpoint of a USBTMC interface, read from a thread of its
// own while the link carries transfers on another. USBTMC 1.0, 3.4; USB488
// 1.0, 3.4.
class InterruptSource {
  public:
    virtual ~InterruptSource() = default;
    // One interrupt-IN packet of at most buf.size() bytes; VI_ERROR_TMO at
    // the deadline, VI_ERROR_ABORT once cancelled (until resume()),
    // VI_ERROR_CONN_LOST when the device is gone. A link whose endpoint is
    // read only under its claim (interrupt_in_needs_claim()) reads only
    // while it holds the claim, and waits for it meanwhile.
    virtual ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) = 0;
    // From any thread.
    virtual void cancel() = 0;
    virtual void resume() = 0;
};

class UsbLink {
  public:
    virtual ~UsbLink() = default;

    // acquire, relinquish, cancel and resume do nothing by default: that
    // suits a link that is its device's only carrier and never waits long.

    // Makes this link the one that carries the device's transfers (the claim
    // of its interface), waiting for another holder until `deadline`
    // (VI_ERROR_RSRC_BUSY when it does not let go in time). Cheap when the
    // link holds the claim already. The session layer calls it only while it
    // holds the instrument's access lock, so a cooperating holder in another
    // process is between operations: a link may take the claim over from it.
    virtual ViStatus acquire(Deadline /*deadline*/) { return VI_SUCCESS; }

    // Called after an operation that did not pin the device: a link that
    // cannot keep the claim without blocking other processes gives it up
    // here (libusb releases the interface, its interrupt reader's transfer
    // taken back first); one whose claim others can take over keeps it.
    virtual void relinquish() {}

    // One bulk-OUT transfer of all of `data` (the link splits it into packets:
    // USBTMC 1.0, 3.2, rule 1; it is complete with its last byte, with no
    // zero-length packet after a full last packet: rule 4).
    // VI_ERROR_TMO when the deadline passes first; the transfer is then cancelled.
    // When the device stalls the endpoint, the link clears the halt (so the
    // next transfer can pass) and returns VI_ERROR_IO; so does bulk_in.
    // (USBTMC 1.0, 3.2.2.4 and 3.3.2.4; after the clear each side starts at
    // a header: 4.1.1.1 and 4.1.1.2.)
    virtual ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline deadline) = 0;

    // One bulk-IN transfer of at most buf.size() bytes (callers ask for a
    // multiple of max_packet_size()). It completes with a short or zero-length
    // packet or when `buf` is full; `got` is the number of bytes received. (A
    // device ends every bulk-IN transfer with a short packet: USBTMC 1.0, 3.3,
    // rule 10.)
    // VI_ERROR_TMO when the deadline passes first; the transfer is then cancelled.
    virtual ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) = 0;

    // A bulk-OUT transfer of `out` and the bulk-IN transfer that its answer
    // comes in, in flight together, so that the device can answer as soon
    // as it has `out`. `sent` tells whether the bulk-OUT transfer completed:
    // when it did not, the status is its own (as bulk_out gives it) and the
    // bulk-IN transfer has been taken back unanswered; when it did, the
    // status and `got` are the bulk-IN transfer's (as bulk_in gives them).
    // By default the two go one after the other. (The request is queued
    // before the bulk-IN transfer, which the device NAKs until it has the
    // request: USBTMC 1.0, 3.3, rules 1 and 2.)
    virtual ViStatus bulk_out_in(std::span<const std::uint8_t> out, std::span<std::uint8_t> buf,
                                 std::size_t& got, Deadline deadline, bool& sent) {
        got = 0;
        const ViStatus st = bulk_out(out, deadline);
        sent = st == VI_SUCCESS;
        return sent ? bulk_in(buf, got, deadline) : st;
    }

    // Posting the request for a reply behind the message it answers (its
    // header goes only once the message's transfer has completed: USBTMC 1.0,
    // 3.2, rule 3; 3.3, rule 1).
    // bulk_out_posting() sends `data` like bulk_out() and submits right
    // behind it the bulk-OUT transfer of `request` and a bulk-IN transfer of
    // at most `in_size` bytes; once `data` has gone those two are left in
    // flight (`posted`) for collect_posted(), which finishes them as
    // bulk_out_in() does, or drop_posted(). When `data` fails they are taken
    // back unanswered. A link that cannot keep transfers in flight between
    // calls sends `data` alone and leaves `posted` false (the default).
    virtual ViStatus bulk_out_posting(std::span<const std::uint8_t> data,
                                      std::span<const std::uint8_t> /*request*/,
                                      std::size_t /*in_size*/, Deadline deadline, bool& posted) {
        posted = false;
        return bulk_out(data, deadline);
    }
    // The posted transfers' outcome, as bulk_out_in() gives it (buf.size()
    // is the posted in_size).
    virtual ViStatus collect_posted(std::span<std::uint8_t> /*buf*/, std::size_t& got,
                                    Deadline /*deadline*/, bool& sent) {
        got = 0;
        sent = false;
        return VI_ERROR_SYSTEM_ERROR;
    }
    // Takes the posted transfers back unanswered. `sent` tells whether the
    // request had gone out: the device may then be answering it.
    virtual void drop_posted(bool& sent) { sent = false; }

    // A class request with an IN data stage (every USBTMC/USB488 class
    // request is one: USBTMC 1.0, 4.2.1, after Table 15; USB488 1.0, 4.3):
    // bmRequestType 0xA1 (interface) or 0xA2 (endpoint), USBTMC 1.0, 4.2,
    // Table 14. `got` is the length of the data stage received. A stalled
    // request returns VI_ERROR_IO. (A device stalls an optional request it
    // does not accept: USBTMC 1.0, Table 37, byte 4, D2; USB488 1.0, Table 8,
    // byte 14, D1.)
    virtual ViStatus control_in(std::uint8_t request_type, std::uint8_t request,
                                std::uint16_t value, std::uint16_t index,
                                std::span<std::uint8_t> buf, std::size_t& got,
                                Deadline deadline) = 0;

    // A request with an OUT data stage of all of `data` (or none), or with
    // none at all, on the default pipe: a program's own (viUsbControlOut),
    // since the USBTMC host sends none. A stalled request returns
    // VI_ERROR_IO. VI_ERROR_NSUP_OPER from a link that cannot (the default).
    virtual ViStatus control_out(std::uint8_t /*request_type*/, std::uint8_t /*request*/,
                                 std::uint16_t /*value*/, std::uint16_t /*index*/,
                                 std::span<const std::uint8_t> /*data*/, Deadline /*deadline*/) {
        return VI_ERROR_NSUP_OPER;
    }

    // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint`, within `deadline` (USBTMC
    // 1.0, 4.1.1).
    virtual ViStatus clear_halt(std::uint8_t endpoint, Deadline deadline) = 0;

    // From any thread: a transfer waiting for the device on the transferring
    // thread gives up at once with VI_ERROR_ABORT (and is cancelled), and so
    // does every later one until resume(). Recovery after an abort calls
    // resume() first.
    virtual void cancel() {}
    virtual void resume() {}

    // A reader of the interface's interrupt-IN endpoint, or null when it has
    // none (the default). An interface has at most one; a 488.2 or SR1
    // interface has one (USBTMC 1.0, 5.5, after Table 44; USB488 1.0, 3.4 and
    // 5.1.1).
    virtual std::unique_ptr<InterruptSource> open_interrupt_source() { return nullptr; }
    // Whether that reader reads only while the link holds the claim
    // (acquire() until relinquish()): on USB only the process that claims
    // the interface may read its endpoints.
    virtual bool interrupt_in_needs_claim() const { return false; }

    // Descriptor facts, read from the device, never assumed.
    virtual const UsbDeviceFacts& facts() const = 0;
    std::uint8_t interface_number() const { return facts().interface_number; }
    std::uint8_t bulk_out_endpoint() const { return facts().bulk_out_endpoint; }
    std::uint8_t bulk_in_endpoint() const { return facts().bulk_in_endpoint; }
    std::uint16_t max_packet_size() const { return facts().max_packet_size; }
};

}  // namespace sgvisa::usbtmc
