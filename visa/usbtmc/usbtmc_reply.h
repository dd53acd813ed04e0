// Receiving one DEV_DEP_MSG_IN transfer: the device's answer to a
// REQUEST_DEV_DEP_MSG_IN, reassembled from however many bulk-IN transfers,
// short packets and zero-length packets it arrives in, past whatever else
// the device sends first. USBTMC 1.0, 3.3.1.1, Table 9; the bulk-IN rules:
// 3.3, rules 7 to 10.
//
// How the bulk-IN stream is read:
// - The first bulk-IN transfer of an answer asks for one packet, so that it
//   completes whatever the answer's length: a device that sends no
//   zero-length packet after a transfer ending on a packet boundary (which
//   breaks USBTMC 1.0, 3.3, rule 10; alignment bytes would have avoided it)
//   cannot keep it waiting. Once the header tells the transfer's size, the
//   rest is asked for exactly (in whole packets). A reply longer than one
//   packet thus costs one bulk-IN transfer more.
// - A transfer is read to its end by its TransferSize (and its alignment
//   padding, unless a short packet ends it first: a device need not send
//   alignment bytes), across any number of short packets; what comes
//   after that in the same bulk-IN transfer (padding to the packet's end,
//   bytes a device sends past TransferSize: USBTMC 1.0, 3.3.2.3, Table 11,
//   index 5) is dropped. A transfer ends at its short packet and alignment
//   bytes are optional (3.3, rule 10); reading on tolerates a device that
//   splits a transfer, where Table 11, index 4 would report the shortfall.
// - A DEV_DEP_MSG_IN whose bTag answers no request this host waits for (a
//   reply left by an earlier program, one sent after its request timed
//   out) is read to its end the same way and dropped, and the wait for the
//   answer goes on, until the deadline. (A bulk-IN header carries the bTag
//   of the request it answers, USBTMC 1.0, 3.3, Table 8; Table 11, index 3
//   would abort such a transfer instead.)
// - What is taken for the answer: a DEV_DEP_MSG_IN carrying the request's
//   bTag and its inverse, with a TransferSize within the request. USBTMC
//   marks a transfer with nothing more, so a stale transfer that happens to
//   carry the same bTag (left by an earlier program or host, or sent by a
//   device unasked, before this host chose that bTag) is the answer to any
//   host, and is taken. The host keeps that rare rather than detectable:
//   its bTags advance by one from a place drawn for each connection, so no
//   request repeats the one before (USBTMC 1.0, 3.2, Table 1); an abort or
//   a clear empties the device's bulk-IN FIFO (4.2.1.4 and 4.2.1.6); and
//   whatever comes with another bTag is read out and dropped on the way.
// - Continuation: a transfer that repeats the bTag of the request before
//   (or the bTag that request's transfer carried) is accepted only as the
//   continuation of a reply whose last transfer ended without EOM and that
//   was not abandoned since (InStream::continuation); otherwise it is stale
//   and dropped like any foreign one. (USBTMC 1.0, 3.3, Table 8 wants the
//   new request's bTag; the old one is tolerated only in a continuation,
//   which is asked for with a new request: 3.3, rule 9.)
// - Bytes that are no header where a header should begin are skipped to
//   the end of their bulk-IN transfer when the device's transfer before may
//   not have ended (InStream::may_continue: the tail of a transfer an
//   earlier host left half read, bytes past a transfer that filled its last
//   packet). Anywhere else they make the answer malformed. (A transfer
//   starts with a complete header: USBTMC 1.0, 3.3, rule 7; after an abort
//   or a cleared halt the next transaction starts one: 4.2.1.5 and 4.1.1.2.)
//
// Where a device's message ends when its transfers do not say: USBTMC marks
// a message's last transfer with EOM (USBTMC 1.0, 3.3.1.1, Table 9, D0;
// USB488 1.0, 3.3 also asks a 488.2 device for a final linefeed), and some
// devices never set it. Such a device ends a reply at its linefeed, in a
// transfer that holds less than the request asked for. A device that splits
// its replies into short transfers (a message may take several: USBTMC 1.0,
// 3.3, rule 13) sends exactly that too, in the middle of a message, so the
// bytes alone cannot tell the two apart the first time. What tells is the
// next request (3.3, rule 9): a device that splits answers it at once with
// the rest; one that never sets EOM has nothing to send. The first time the
// host asks (InStream's owner does), and from then on the connection knows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "transport/deadline.h"
#include "transport/transport.h"
#include "usbtmc/usb_link.h"
#include "visa.h"

namespace sgvisa::usbtmc {

// The REQUEST_DEV_DEP_MSG_IN transfer that asks for a reply: tagged `tag`,
// asking for `requested` bytes (USBTMC 1.0, 3.2.1.2, Table 4).
struct ReplyRequest {
    std::span<const std::uint8_t> bytes;
    std::uint8_t tag = 0;
    std::uint32_t requested = 0;
    bool posted = false;  // already in flight (UsbLink::bulk_out_posting)
};

// What the host knows of a device's bulk-IN stream between two answers.
struct InStream {
    // The last bulk-IN transfer filled all it asked for, so the device's
    // transfer may go on past it. True before the first read: nothing is
    // known of what an earlier host left.
    bool may_continue = true;
    // The reply the next answer may continue: the request whose transfer
    // ended without EOM and the bTag that transfer carried. Reset when the
    // reply ends or is abandoned (InStream's owner decides when).
    struct Continuation {
        std::uint8_t request_tag = 0;
        std::uint8_t carried_tag = 0;
    };
    std::optional<Continuation> continuation;
};

// The bulk-IN transfer the answer to a request is first read with (one
// packet, at least a header: the first transaction holds the whole header,
// USBTMC 1.0, 3.3, rule 7), and the scratch space an answer to a request
// for `requested` bytes needs: whole packets covering the longest answer
// (alignment bytes up to wMaxPacketSize - 1: 3.3, rule 10).
std::size_t first_transfer_size(const UsbLink& link);
std::size_t scratch_size(const UsbLink& link, std::uint32_t requested);

// bmTransferAttributes: USBTMC 1.0, 3.3.1.1, Table 9, D0 (EOM) and D1.
struct ReplyReceived {
    std::size_t count = 0;            // data bytes stored
    std::uint32_t transfer_size = 0;  // the transfer's TransferSize
    std::uint8_t tag = 0;             // the bTag it carried
    bool end = false;                 // the device set EOM
    bool term_char = false;           // it ended the transfer at the requested TermChar
    bool sent = false;                // the request went out
};

// Sends `request` with the first bulk-IN transfer of its answer in flight
// together (UsbLink::bulk_out_in, of first_transfer_size()), or collects
// them when they were posted, reads the answer (requested <= buf.size())
// through `scratch` (at least scratch_size() of the requested count) and
// stores its data in `buf`; `stream` is read and updated as above. When the
// request did not go out (!reply.sent) the status is its bulk-OUT
// transfer's: the caller aborts that one instead of the bulk-IN.
//
// A header that is not a DEV_DEP_MSG_IN (wrong MsgID, bTag and inverse
// disagreeing) where a transfer must begin, or an answer announcing more
// than `requested` bytes, is never taken as data: the rest of that bulk-IN
// transfer is drained and VI_ERROR_IO returned (USBTMC 1.0, 3.3.2.3,
// Table 11, indexes 1 to 3 and 5). VI_ERROR_TMO when the answer has not
// arrived by `deadline` (the caller then aborts the transfer), however many
// foreign transfers came meanwhile; other link statuses pass through.
ViStatus receive_dev_dep_msg_in(UsbLink& link, const ReplyRequest& request,
                                std::span<std::uint8_t> buf, std::span<std::uint8_t> scratch,
                                Deadline deadline, InStream& stream, ReplyReceived& reply);

class MessageEnd {
  public:
    // `eom_never`: the device is known to never set EOM (a quirk), so the
    // first reply need not be asked about.
    explicit MessageEnd(bool eom_never = false) : quirk_(eom_never) {}

    enum class Verdict {
        end,   // the message ends with this transfer
        more,  // it goes on (or the caller's termination character ends the read)
        ask,   // unknown: the next request tells (then call learned())
    };

    // After a transfer of the answer to a request for `requested` bytes,
    // whose last data byte is `last` (any value when it carried none).
    Verdict judge(const ReplyReceived& transfer, std::uint32_t requested, std::uint8_t last,
                  const ReadStop& stop);

    // The asked request found nothing more: this device never sets EOM.
    void learned_eom_never() { learned_ = true; }

    bool eom_never() const { return quirk_ || learned_; }

  private:
    bool quirk_;
    bool learned_ = false;
    bool eom_seen_ = false;  // the device has set EOM on a transfer
};

}  // namespace sgvisa::usbtmc
