// The message-level transport interface: the only way the session layer
// reaches an instrument. USBTMC over libusb and USBTMC over the simulator's
// local bus both implement it; transport_openers.h is how they are found.
//
// Threads: the session layer makes one call at a time on a transport, from
// any thread; cancel() may come from any thread at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "transport/deadline.h"
#include "transport/usb_device_facts.h"
#include "visa.h"

namespace sgvisa {

// What a read may stop at besides the end of the message.
struct ReadStop {
    bool term_char_enabled = false;
    std::uint8_t term_char = '\n';
};

// How a read ended.
struct ReadResult {
    std::size_t count = 0;   // bytes stored
    bool end = false;        // the last byte stored carried END
    bool term_char = false;  // the device ended the transfer at the term char
};

class Transport {
  public:
    virtual ~Transport() = default;

    // Makes this transport the one that talks to the instrument, waiting for
    // another holder until `deadline` (VI_ERROR_RSRC_BUSY when it does not let
    // go in time); relinquish() after an operation lets other processes'
    // transports have it. See UsbLink::acquire.
    virtual ViStatus acquire(Deadline deadline) = 0;
    virtual void relinquish() = 0;

    // Sends `data` as (part of) one device-dependent message. `end` marks its
    // last byte with END (USBTMC EOM): the message is complete.
    virtual ViStatus write(std::span<const std::uint8_t> data, bool end, Deadline deadline) = 0;

    // write() of a whole query (with END) with the request for its reply
    // sent right behind it, so that the instrument can answer at once: the
    // next read() for `reply_size` bytes with `stop` takes that reply, and
    // any other call first takes the request back. By default it only writes.
    virtual ViStatus write_query(std::span<const std::uint8_t> data, std::size_t /*reply_size*/,
                                 const ReadStop& /*stop*/, Deadline deadline) {
        return write(data, true, deadline);
    }

    // Reads at most buf.size() bytes of the current reply into `buf`. When
    // `stop` enables a term char and the instrument can end a transfer there,
    // it does (result.term_char); otherwise the caller looks for it. When the
    // reply is longer than `buf`, the rest stays for the next read (with the
    // instrument, or with the transport when it took more than `buf` holds:
    // a new message or a clear drops it then, as the instrument would). On
    // a timeout the transport has already recovered (aborted the transfer)
    // so that the next command works, and returns VI_ERROR_TMO. Never
    // stores more than buf.size() bytes.
    virtual ViStatus read(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                          ReadResult& result) = 0;

    // Device clear (viClear): discards the instrument's pending input and output.
    virtual ViStatus clear(Deadline deadline) = 0;

    // The instrument's status byte (USB488 READ_STATUS_BYTE);
    // VI_ERROR_NSUP_OPER when the instrument cannot give it.
    virtual ViStatus read_status_byte(Deadline deadline, std::uint8_t& status) = 0;

    // USB488: the TRIGGER message (viAssertTrigger), and remote/local control
    // by one of the VI_GPIB_REN_* modes (viGpibControlREN).
    // VI_ERROR_NSUP_OPER when the instrument lacks the feature (the default).
    virtual ViStatus assert_trigger(Deadline /*deadline*/) { return VI_ERROR_NSUP_OPER; }
    virtual ViStatus control_remote(ViUInt16 /*mode*/, Deadline /*deadline*/) {
        return VI_ERROR_NSUP_OPER;
    }

    // Calls `listener` (from a thread of the transport) with the status byte
    // of each service request the instrument makes, until called again with
    // an empty function. VI_ERROR_NSUP_OPER when the instrument cannot tell
    // (the default).
    virtual ViStatus listen_for_service_requests(
        std::function<void(std::uint8_t status_byte)> /*listener*/) {
        return VI_ERROR_NSUP_OPER;
    }
    // Whether service requests are heard only while this transport holds the
    // instrument (acquire() until relinquish()); meanwhile the instrument
    // keeps them.
    virtual bool hears_service_requests_only_when_acquired() const { return false; }

    // From any thread: the call in progress gives up with VI_ERROR_ABORT after
    // bringing the instrument back to a state where the next command works;
    // so do later calls until resume().
    virtual void cancel() = 0;
    virtual void resume() = 0;

    // The instrument has gone away: every later call fails with VI_ERROR_CONN_LOST.
    virtual bool lost() const = 0;

    virtual const UsbDeviceFacts& facts() const = 0;

    // The instrument's answer to GET_CAPABILITIES, as it came (USBTMC_status
    // first), once an operation has acquired the instrument (the first
    // acquire reads it); empty before that, or when it stalled the request.
    virtual std::span<const std::uint8_t> capabilities_answer() const { return {}; }
};

}  // namespace sgvisa
