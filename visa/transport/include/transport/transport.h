// The message-level transport interface: the only way the session layer
// reaches an instrument. USBTMC over libusb, USBTMC over the simulator's
// local bus and the LAN protocols implement it; transport_openers.h is how
// they are found. What differs by interface type (facts, attributes, who
// keeps locks, whether processes take turns) is asked of the transport.
//
// The transport owns what it took of a reply and no read has taken yet
// (unread_reply.h): its write(), write_query() and clear() drop it and read()
// takes from it first, so a backend only moves bytes (send(), receive(),
// clear_device()) and never keeps a reply's rest itself.
//
// Threads: the session layer makes one call at a time on a transport, from
// any thread; cancel() may come from any thread at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <variant>

#include "transport/deadline.h"
#include "transport/lan_facts.h"
#include "transport/unread_reply.h"
#include "transport/usb_device_facts.h"
#include "visa.h"

namespace sgvisa {

// What a transport knows of its instrument, by interface type.
using InterfaceFacts = std::variant<UsbDeviceFacts, LanFacts>;

class Transport {
  public:
    virtual ~Transport() = default;

    // Makes this transport the one that talks to the instrument, waiting for
    // another holder until `deadline` (VI_ERROR_RSRC_BUSY when it does not let
    // go in time); relinquish() after an operation lets other processes'
    // transports have it. See UsbLink::acquire. Nothing to do (the default)
    // where each process has a link of its own.
    virtual ViStatus acquire(Deadline /*deadline*/) { return VI_SUCCESS; }
    virtual void relinquish() {}
    // Whether the processes that talk to this instrument take turns (the
    // access lock of DeviceConnection): one USB interface is claimed by one
    // process at a time; a LAN instrument serves each process's link itself.
    virtual bool takes_turns_between_processes() const { return true; }

    // Where the instrument keeps locks itself (VXI-11 device_lock, HiSLIP
    // AsyncLock): takes this link's lock on the device, exclusive when
    // `shared_key` is empty, else shared with the links that present the same
    // key, waiting until `deadline` (VI_ERROR_RSRC_LOCKED when another link
    // keeps it then), and gives one back (the exclusive one first).
    // VI_ERROR_NSUP_OPER (the default): locks are the library's alone, or
    // shared ones are (VXI-11 has exclusive locks only).
    virtual ViStatus lock_device(Deadline /*deadline*/, const std::string& /*shared_key*/ = {}) {
        return VI_ERROR_NSUP_OPER;
    }
    virtual ViStatus unlock_device(Deadline /*deadline*/) { return VI_ERROR_NSUP_OPER; }
    // Whether lock_device() takes a shared key (asked before an operation's
    // turn is taken for it, so that a shared viLock where only the library
    // keeps locks waits for nothing).
    virtual bool keeps_shared_locks() const { return false; }
    // The device's own view of its locks, whoever holds them (other hosts'
    // clients too): VI_NO_LOCK, VI_SHARED_LOCK or VI_EXCLUSIVE_LOCK.
    // VI_ERROR_NSUP_OPER (the default) where the device cannot tell.
    virtual ViStatus device_lock_state(Deadline /*deadline*/, ViAccessMode& /*state*/) {
        return VI_ERROR_NSUP_OPER;
    }

    // Attributes of the interface type the transport serves and keeps itself
    // (VI_ATTR_TCPIP_NODELAY, VI_ATTR_TCPIP_KEEPALIVE, VI_ATTR_IO_PROT...):
    // VI_ERROR_NSUP_ATTR for the others (the default), VI_ERROR_NSUP_ATTR_STATE
    // for a value the transport cannot take. From any thread, also while
    // another call is in progress.
    virtual ViStatus set_interface_attribute(ViAttr /*attr*/, ViAttrState /*value*/) {
        return VI_ERROR_NSUP_ATTR;
    }
    virtual ViStatus get_interface_attribute(ViAttr /*attr*/, ViAttrState& /*value*/) const {
        return VI_ERROR_NSUP_ATTR;
    }

    // Sends `data` as (part of) one device-dependent message. `end` marks its
    // last byte with END (USBTMC EOM): the message is complete. The unread
    // rest of the last reply is dropped: the instrument drops it too.
    ViStatus write(std::span<const std::uint8_t> data, bool end, Deadline deadline) {
        unread_.drop();
        return send(data, end, deadline);
    }

    // write() of a whole query (with END) with the request for its reply
    // sent right behind it, so that the instrument can answer at once: the
    // next read() for `reply_size` bytes with `stop` takes that reply, and
    // any other call first takes the request back.
    ViStatus write_query(std::span<const std::uint8_t> data, std::size_t reply_size,
                         const ReadStop& stop, Deadline deadline) {
        unread_.drop();
        return send_query(data, reply_size, stop, deadline);
    }

    // Reads at most buf.size() bytes of the current reply into `buf`: what
    // the transport kept of it first, then from the instrument. When `stop`
    // enables a termination character the read ends after it
    // (result.term_char), where the instrument stops there or not. When the
    // reply is longer than `buf`, the rest stays for the next read (with the
    // instrument, or kept here). On a timeout the transport has already
    // recovered (aborted the transfer) so that the next command works, and
    // returns VI_ERROR_TMO. Never stores more than buf.size() bytes.
    ViStatus read(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                  ReadResult& result);

    // Device clear (viClear): discards the instrument's pending input and
    // output, and what was kept of its reply.
    ViStatus clear(Deadline deadline) {
        unread_.drop();
        return clear_device(deadline);
    }

    // Forgets what was kept of the reply (viFlush of the input buffer).
    void discard_unread() { unread_.drop(); }

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

    // A control transfer on the device's default pipe as the caller composed
    // it (viUsbControlIn, viUsbControlOut; which ones a session may send is
    // visa/api's rule): the IN form stores at most buf.size() bytes of the
    // data stage and tells how many in `got`; the OUT form sends `data`. A
    // stalled request is VI_ERROR_IO. VI_ERROR_NSUP_OPER where the transport
    // is no USB device (the default).
    virtual ViStatus usb_control_in(std::uint8_t /*request_type*/, std::uint8_t /*request*/,
                                    std::uint16_t /*value*/, std::uint16_t /*index*/,
                                    std::span<std::uint8_t> /*buf*/, std::size_t& got,
                                    Deadline /*deadline*/) {
        got = 0;
        return VI_ERROR_NSUP_OPER;
    }
    virtual ViStatus usb_control_out(std::uint8_t /*request_type*/, std::uint8_t /*request*/,
                                     std::uint16_t /*value*/, std::uint16_t /*index*/,
                                     std::span<const std::uint8_t> /*data*/,
                                     Deadline /*deadline*/) {
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

    virtual const InterfaceFacts& facts() const = 0;

    // The instrument's answer to GET_CAPABILITIES, as it came (USBTMC_status
    // first), once an operation has acquired the instrument (the first
    // acquire reads it); empty before that, or when it stalled the request.
    virtual std::span<const std::uint8_t> capabilities_answer() const { return {}; }

  protected:
    // The backend's halves of write(), write_query(), read() and clear(),
    // with their contracts; what the transport keeps of a reply is handled
    // around them. send_query() by default only sends.
    virtual ViStatus send(std::span<const std::uint8_t> data, bool end, Deadline deadline) = 0;
    virtual ViStatus send_query(std::span<const std::uint8_t> data, std::size_t /*reply_size*/,
                                const ReadStop& /*stop*/, Deadline deadline) {
        return send(data, true, deadline);
    }
    // Reads into `buf` from the instrument; result.term_char only where the
    // instrument itself ended the transfer at the termination character.
    virtual ViStatus receive(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                             ReadResult& result) = 0;
    virtual ViStatus clear_device(Deadline deadline) = 0;
    // How many bytes receive() asks the instrument for when a read wants
    // `wanted`: more takes a whole transfer, whose rest is kept for the next
    // read. By default what the read wants.
    virtual std::size_t receive_size(std::size_t wanted) const { return wanted; }

  private:
    UnreadReply unread_;
};

}  // namespace sgvisa
