#include "usbtmc/usbtmc_host.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "interrupt_channel.h"
#include "proto/usbtmc.h"
#include "trace/trace_switch.h"
#include "traced_link.h"
#include "usb488_status.h"
#include "usbtmc_capabilities.h"
#include "usbtmc_recovery.h"
#include "usbtmc_reply.h"

namespace sgvisa::usbtmc {
namespace {

using namespace sgproto::usbtmc;

// Message bytes carried by one DEV_DEP_MSG_OUT transfer; longer messages are
// split into several transfers, EOM on the last (USBTMC 1.0, 3.2.1.1, rule 1
// and Table 3, D0).
constexpr std::size_t kMaxOutPayload = 4096;
// TransferSize asked for in one REQUEST_DEV_DEP_MSG_IN (USBTMC 1.0, 3.2.1.2,
// Table 4); the rest of a longer reply is asked for again (3.3, rule 9).
constexpr std::size_t kMaxInPayload = 64 * 1024;
// The bTag before a connection's first. A reply an earlier program left in
// the device is taken for the answer when it carries the bTag of this
// host's first request (any other bTag is dropped). Hosts start their bTags
// at 1, so what their first queries left carries small ones: a connection
// starts past those, at one of 128 places (16..143), another for each
// process and connection, so that a program killed in its first query and
// run again seldom meets its own. (USBTMC 1.0, 3.2, Table 1 says how a bTag
// advances, not where it starts.)
std::uint8_t tag_before_first() {
    return static_cast<std::uint8_t>(15 + usbtmc::tag_seed() % 128);
}

// A quirk's cap on a transfer's data, under the host's own `limit`.
std::size_t capped(std::size_t limit, std::uint32_t cap) {
    return cap > 0 ? std::min<std::size_t>(limit, cap) : limit;
}

// However short an operation's own wait, the first claim and the
// capability request get this long.
constexpr auto kSetupTime = std::chrono::milliseconds(1000);

class UsbtmcTransport final : public Transport {
  public:
    UsbtmcTransport(std::unique_ptr<UsbLink> link, const HostQuirks& quirks)
        : link_(std::move(link)),
          max_out_(capped(kMaxOutPayload, quirks.max_transfer)),
          max_in_(capped(kMaxInPayload, quirks.max_transfer)),
          no_termchar_(quirks.no_termchar),
          clear_on_open_(quirks.clear_on_open),
          message_end_(quirks.eom_never) {
        // The descriptors tell a USB488 interface (bInterfaceProtocol 1:
        // USBTMC 1.0, 5.5, Table 44; USB488 1.0, 5.1.1, Table 21) and whether
        // it has an interrupt-IN endpoint (USB488 1.0, 3.4); its capabilities
        // are read only once the instrument may be talked to (acquire).
        if (link_->facts().interface_protocol == kProtocolUsb488) {
            if (auto source = link_->open_interrupt_source())
                interrupts_ = std::make_unique<InterruptChannel>(std::move(source));
        }
    }

    ~UsbtmcTransport() override {
        interrupts_.reset();  // its thread reads through the link: stopped first
        settle();
    }

    ViStatus acquire(Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (caps_read_)
            return note(link_->acquire(deadline));
        const Deadline setup = std::max(deadline, Clock::now() + kSetupTime);
        const ViStatus st = note(link_->acquire(setup));
        return st == VI_SUCCESS ? read_capabilities(setup) : st;
    }

    void relinquish() override {
        settle();
        link_->relinquish();
    }

    ViStatus read_status_byte(Deadline deadline, std::uint8_t& status) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        // READ_STATUS_BYTE is USB488's, required of every USB488 interface
        // (USB488 1.0, 4.3, Table 9).
        if (!caps_.usb488)
            return VI_ERROR_NSUP_OPER;
        // Asked again each time the reader has taken an earlier request's
        // notification out of the endpoint, for as long as the deadline lets:
        // it may wait behind any number of service requests.
        // (STATUS_INTERRUPT_IN_BUSY says only that the interrupt-IN FIFO is
        // full: USB488 1.0, 4.3, Table 10 and 4.3.1.2.)
        for (;;) {
            bool busy = false;
            const ViStatus st = request_status_byte(deadline, status, busy);
            if (!busy)
                return st;
        }
    }

    // TRIGGER: a bulk-OUT header alone, bytes 4 to 11 zero, sent once every
    // earlier bulk-OUT transfer has completed (USB488 1.0, 3.2.1.1, Table 2),
    // and only to an interface that accepts it (4.2.2, Table 8, byte 14, D0).
    ViStatus assert_trigger(Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!caps_.trigger)
            return VI_ERROR_NSUP_OPER;
        stream_.continuation.reset();
        BulkHeader h;
        h.msg_id = USB488_TRIGGER;
        h.tag = next_tag();
        std::array<std::uint8_t, kHeaderSize> message{};
        encode_header(h, message);
        return send(message, h.tag, deadline);
    }

    ViStatus control_remote(ViUInt16 mode, Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!caps_.remote_local)
            return VI_ERROR_NSUP_OPER;
        // What each mode means on USB: REN_CONTROL asserts or deasserts REN,
        // GO_TO_LOCAL and LOCAL_LOCKOUT act on the instrument at once.
        // (USB488 1.0, 4.3.2, Table 15: wValue 1 asserts, 0 deasserts; 4.3.3,
        // Table 17; 4.3.4, Table 19. Local lockout and go-to-local as pairs of
        // requests: Appendix 1, Tables 25 and 26. The capability: 4.2.2,
        // Table 8, byte 14, D1.)
        switch (mode) {
            case VI_GPIB_REN_DEASSERT:
                return remote_request(USB488_REN_CONTROL, 0, deadline);
            case VI_GPIB_REN_ASSERT:
            case VI_GPIB_REN_ASSERT_ADDRESS:
                return remote_request(USB488_REN_CONTROL, 1, deadline);
            case VI_GPIB_REN_DEASSERT_GTL: {
                const ViStatus st = remote_request(USB488_GO_TO_LOCAL, 0, deadline);
                return st != VI_SUCCESS ? st : remote_request(USB488_REN_CONTROL, 0, deadline);
            }
            case VI_GPIB_REN_ASSERT_LLO:
            case VI_GPIB_REN_ASSERT_ADDRESS_LLO: {
                const ViStatus st = remote_request(USB488_REN_CONTROL, 1, deadline);
                return st != VI_SUCCESS ? st : remote_request(USB488_LOCAL_LOCKOUT, 0, deadline);
            }
            case VI_GPIB_REN_ADDRESS_GTL:
                return remote_request(USB488_GO_TO_LOCAL, 0, deadline);
            default:
                return VI_ERROR_INV_MODE;
        }
    }

    // A program's own control requests go between the host's transfers: a
    // request posted for a reply is taken back first, as for any other call.
    ViStatus usb_control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                            std::uint16_t index, std::span<std::uint8_t> buf, std::size_t& got,
                            Deadline deadline) override {
        got = 0;
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        const ViStatus st =
            note(link_->control_in(request_type, request, value, index, buf, got, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        return st;
    }

    ViStatus usb_control_out(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                             std::uint16_t index, std::span<const std::uint8_t> data,
                             Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        const ViStatus st =
            note(link_->control_out(request_type, request, value, index, data, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        return st;
    }

    // A service request is a notification of its own on interrupt-IN (USB488
    // 1.0, 3.4.1, Table 6).
    ViStatus listen_for_service_requests(std::function<void(std::uint8_t)> listener) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!interrupts_)
            return VI_ERROR_NSUP_OPER;
        interrupts_->set_listener(std::move(listener));
        return VI_SUCCESS;
    }

    bool hears_service_requests_only_when_acquired() const override {
        return interrupts_ && link_->interrupt_in_needs_claim();
    }

    // A status byte read waiting for its notification gives up too.
    void cancel() override {
        link_->cancel();
        if (interrupts_)
            interrupts_->cancel_waits();
    }
    void resume() override {
        link_->resume();
        if (interrupts_)
            interrupts_->resume_waits();
    }

    bool lost() const override { return lost_; }

    const InterfaceFacts& facts() const override { return facts_; }
    std::span<const std::uint8_t> capabilities_answer() const override { return caps_answer_; }

  protected:
    ViStatus send(std::span<const std::uint8_t> data, bool end, Deadline deadline) override {
        settle();
        // A 488.2 device clears its Output Queue when a message comes during
        // a bulk-IN transfer (USB488 1.0, 3.2 and 6.1).
        stream_.continuation.reset();  // a new message ends the unread reply
        if (lost_)
            return VI_ERROR_CONN_LOST;
        // TransferSize may not be 0, so an empty write sends nothing (USBTMC
        // 1.0, 3.2.1.1, Table 3).
        if (data.empty())
            return VI_SUCCESS;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        for (std::size_t offset = 0; offset < data.size(); offset += max_out_) {
            const std::size_t n = std::min(max_out_, data.size() - offset);
            const std::uint8_t tag = next_tag();
            message_frame(data.subspan(offset, n), end && offset + n == data.size(), tag);
            const ViStatus st = send(frame_, tag, deadline);
            if (st != VI_SUCCESS)
                return st;
        }
        return VI_SUCCESS;
    }

    // The query's last transfer goes with the request for the reply and the
    // bulk-IN transfer the reply comes in, all in flight together (USBTMC
    // 1.0, 3.3, rules 1, 2 and 4).
    ViStatus send_query(std::span<const std::uint8_t> data, std::size_t reply_size,
                        const ReadStop& stop, Deadline deadline) override {
        settle();
        stream_.continuation.reset();  // a new message ends the unread reply
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (data.empty() || reply_size == 0)
            return send(data, true, deadline);
        const std::size_t last = (data.size() - 1) / max_out_ * max_out_;
        if (last > 0) {
            const ViStatus st = send(data.first(last), false, deadline);
            if (st != VI_SUCCESS)
                return st;
        } else if (Clock::now() >= deadline) {
            return VI_ERROR_TMO;
        }
        const std::uint8_t tag = next_tag();
        message_frame(data.subspan(last), true, tag);
        PendingReply reply;
        reply.header = request_header(reply_size, stop);
        encode_header(reply.header, reply.request);
        bool posted = false;
        const ViStatus st =
            sent(out_again_if_halted([&] {
                     return link_->bulk_out_posting(frame_, reply.request,
                                                    first_transfer_size(*link_), deadline, posted);
                 }),
                 tag);
        if (st == VI_SUCCESS && posted)
            pending_ = reply;
        return st;
    }

    ViStatus receive(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                     ReadResult& result) override {
        result = ReadResult{};
        return read_into(buf, stop, deadline, result);
    }

    // A read that goes on with a message asks for a whole transfer; the
    // transport keeps what it does not take (unread_reply.h).
    std::size_t receive_size(std::size_t wanted) const override {
        const bool whole = stream_.continuation && !pending_ && wanted > 0 && wanted < max_in_;
        return whole ? max_in_ : wanted;
    }

    ViStatus clear_device(Deadline deadline) override {
        settle();
        stream_.continuation.reset();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        const ViStatus st = note(usbtmc::clear_device(*link_, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        return st;
    }

  private:
    // A read straight into `buf`: one request and its answer (the one
    // posted with the query when it asks the same), or more where the
    // device's message end must be asked about (judge_end).
    ViStatus read_into(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                       ReadResult& result) {
        // The request posted with the query is this read's when it asks for
        // the same; otherwise it is taken back first.
        std::optional<PendingReply> posted;
        if (pending_ && !buf.empty() && same_request(pending_->header, buf.size(), stop))
            posted.swap(pending_);
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (buf.empty())
            return VI_SUCCESS;
        if (Clock::now() >= deadline && !posted)
            return VI_ERROR_TMO;

        PendingReply reply;
        if (posted) {
            reply = *posted;
        } else {
            reply.header = request_header(buf.size(), stop);
            encode_header(reply.header, reply.request);
        }
        ReplyReceived received;
        ViStatus st = receive(reply, posted.has_value(), buf, deadline, received);
        // An empty answer without EOM: the device had no response ready
        // (some answer at once instead of waiting for one). Such a device
        // breaks USBTMC 1.0, 3.3, rule 6 and Table 9 (TransferSize > 0);
        // tolerated. The request is asked again, paced, until the deadline;
        // nothing is outstanding meanwhile, so the deadline needs no abort.
        for (int repeat = 0; st == VI_SUCCESS && nothing_yet(received); ++repeat) {
            if (Clock::now() < deadline)
                pace_repeat(repeat, deadline);
            if (Clock::now() >= deadline)
                return VI_ERROR_TMO;
            reply.header = request_header(buf.size(), stop);
            encode_header(reply.header, reply.request);
            st = receive(reply, false, buf, deadline, received);
        }
        if (st != VI_SUCCESS)
            return st;
        result.count = received.count;
        result.term_char = received.term_char;
        return judge_end(reply, received, buf, stop, deadline, result);
    }

    // One READ_STATUS_BYTE (USB488 1.0, 4.3.1, Table 11: bTag 2..127 in
    // wValue, wLength 3; answers 4.3.1.1, Table 12 and 4.3.1.2, Table 13).
    // `busy` when the device said its interrupt-IN FIFO is full and the
    // interrupt reader has taken a packet out of it since: the caller asks
    // again. Whatever fills the FIFO (an earlier request's answer, a service
    // request, a vendor's notification), taking any packet makes room.
    ViStatus request_status_byte(Deadline deadline, std::uint8_t& status, bool& busy) {
        busy = false;
        const std::uint8_t tag = take_status_tag();
        const std::uint64_t packets_before = interrupts_ ? interrupts_->packets_read() : 0;
        // The device queues the interrupt-IN answer before the control
        // answer (USB488 1.0, 4.3.1.2).
        if (interrupts_)
            interrupts_->expect(tag);  // before asking: the answer may come at once
        std::array<std::uint8_t, kReadStatusByteLength> answer{};
        std::size_t got = 0;
        ViStatus st = note(link_->control_in(kRequestTypeInterfaceIn, USB488_READ_STATUS_BYTE, tag,
                                             link_->interface_number(), answer, got, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        const auto parsed = parse_status_answer(std::span(answer.data(), got), tag);
        if (st == VI_SUCCESS && !parsed.valid)
            st = VI_ERROR_IO;
        if (st == VI_ERROR_IO && interrupts_ && got > 0 && answer[0] == STATUS_INTERRUPT_IN_BUSY) {
            // Our expectation keeps the reader reading meanwhile.
            const ViStatus drained = interrupts_->await_packets_after(packets_before, deadline);
            busy = drained == VI_SUCCESS;
            if (!busy)
                st = note(drained);
        }
        if (!interrupts_) {
            if (st == VI_SUCCESS)
                status = parsed.status_byte;
            return st;
        }
        // With an interrupt-IN endpoint the status byte comes as a
        // notification carrying the request's tag (USB488 1.0, 3.4.2, Table 7
        // and 4.3.1.2, Table 13).
        std::uint8_t from_interrupt = 0;
        const ViStatus waited =
            interrupts_->await(tag, st == VI_SUCCESS ? deadline : Clock::now(), from_interrupt);
        if (st != VI_SUCCESS)
            return st;
        if (waited == VI_SUCCESS)
            status = from_interrupt;
        return note(waited);
    }

    // A request for a reply, posted behind the query it answers.
    struct PendingReply {
        BulkHeader header;
        std::array<std::uint8_t, kHeaderSize> request{};
    };

    // Sends `reply`'s request (or collects it when `posted`) and reads its
    // answer into `buf`. A timeout or a cancel aborts the transfer it hit
    // (INITIATE_ABORT_BULK_IN: USBTMC 1.0, 3.3.2.1; a request that never went
    // out is a bulk-OUT transfer to abort instead, since the bulk-IN transfer
    // is in progress only once the request's header was ACKed: 3.3, rule 4);
    // any failure abandons the reply the stream was in.
    ViStatus receive(const PendingReply& reply, bool posted, std::span<std::uint8_t> buf,
                     Deadline deadline, ReplyReceived& received) {
        const BulkHeader& h = reply.header;
        const std::size_t needed = scratch_size(
            *link_, static_cast<std::uint32_t>(std::min<std::size_t>(h.transfer_size, buf.size())));
        if (scratch_size_ < needed) {
            scratch_ = std::make_unique_for_overwrite<std::uint8_t[]>(needed);
            scratch_size_ = needed;
        }
        const auto attempt = [&](bool in_flight) {
            return receive_dev_dep_msg_in(
                *link_, {reply.request, h.tag, h.transfer_size, in_flight}, buf,
                std::span(scratch_.get(), needed), deadline, stream_, received);
        };
        ViStatus st = attempt(posted);
        // A request the link could not send is sent again (not posted: the
        // link took the posted one back) when the endpoint was left halted.
        if (!received.sent && halted_before_us(st))
            st = attempt(false);
        out_proven_ = true;
        if (st != VI_SUCCESS)
            stream_.continuation.reset();
        if (!received.sent)
            return sent(st, h.tag);
        if (st == VI_ERROR_TMO || st == VI_ERROR_ABORT) {
            link_->resume();
            const ViStatus recovered = note(abort_bulk_in(*link_, h.tag));
            return recovered == VI_ERROR_CONN_LOST ? recovered : st;
        }
        return note(st);
    }

    // Whether the answer `received` to `reply` (its data stored at the start
    // of `buf`, counted in `result`) ends the message; when that is unknown
    // the next request asks (message_end.h). (EOM: USBTMC 1.0, Table 9, D0;
    // the rest of a message is read with a new request: 3.3, rule 9.)
    ViStatus judge_end(const PendingReply& reply, const ReplyReceived& received,
                       std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                       ReadResult& result) {
        const std::uint8_t last = received.count > 0 ? buf[received.count - 1] : 0;
        switch (message_end_.judge(received, reply.header.transfer_size, last, stop)) {
            case MessageEnd::Verdict::end:
                result.end = true;
                stream_.continuation.reset();
                return VI_SUCCESS;
            case MessageEnd::Verdict::more:
                stream_.continuation = InStream::Continuation{reply.header.tag, received.tag};
                return VI_SUCCESS;
            case MessageEnd::Verdict::ask:
                break;
        }
        stream_.continuation = InStream::Continuation{reply.header.tag, received.tag};
        PendingReply ask;
        ask.header = request_header(buf.size() - result.count, stop);
        encode_header(ask.header, ask.request);
        ReplyReceived more;
        const ViStatus st = receive(ask, false, buf.subspan(result.count), deadline, more);
        if (st == VI_ERROR_TMO || (st == VI_SUCCESS && nothing_yet(more))) {
            // Nothing more came (a request that timed out is aborted): the
            // message ended at the linefeed, and this device never sets EOM.
            message_end_.learned_eom_never();
            result.end = true;
            return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
        }
        if (st == VI_ERROR_ABORT || st == VI_ERROR_CONN_LOST)
            return st;
        if (st != VI_SUCCESS)
            return VI_SUCCESS;  // what came first stands; the next read meets the fault
        // The device had more: it splits its replies.
        result.count += more.count;
        result.term_char = more.term_char;
        result.end = more.end;
        stream_.continuation.reset();
        if (!more.end)
            stream_.continuation = InStream::Continuation{ask.header.tag, more.tag};
        return VI_SUCCESS;
    }

    // An answer that carries nothing and does not end the message.
    static bool nothing_yet(const ReplyReceived& r) {
        return r.transfer_size == 0 && !r.end && !r.term_char;
    }

    // Whether a bulk-OUT transfer that failed with `st` met an endpoint
    // halted before this connection's first transfer (a device may leave its
    // bulk endpoints halted when a host goes away). Then bulk-OUT's halt is
    // cleared already (the link does that on a stall) and bulk-IN's is
    // cleared here, and the transfer may go once more. Only the first
    // transfer asks: a stall later is the device refusing that transfer.
    // (The host clears a halt with CLEAR_FEATURE: USBTMC 1.0, 3.2.2.4,
    // 3.3.2.4 and 4.1.1.)
    bool halted_before_us(ViStatus st) {
        if (st != VI_ERROR_IO || out_proven_)
            return false;
        out_proven_ = true;
        return note(link_->clear_halt(link_->bulk_in_endpoint(), Clock::now() + kRecoveryTime)) ==
               VI_SUCCESS;
    }

    // A bulk-OUT transfer by `attempt`, once more if halted_before_us().
    template <typename Attempt>
    ViStatus out_again_if_halted(Attempt&& attempt) {
        ViStatus st = attempt();
        if (halted_before_us(st))
            st = attempt();
        out_proven_ = true;
        return st;
    }

    // The REQUEST_DEV_DEP_MSG_IN of a read into `size` bytes (USBTMC 1.0,
    // 3.2.1.2, Table 4); TermCharEnabled only when GET_CAPABILITIES offers
    // TermChar (Table 4, D1; Table 37, byte 5, D0).
    BulkHeader request_header(std::size_t size, const ReadStop& stop) {
        BulkHeader h;
        h.msg_id = REQUEST_DEV_DEP_MSG_IN;
        h.tag = next_tag();
        h.transfer_size = static_cast<std::uint32_t>(std::min(size, max_in_));
        if (stop.term_char_enabled && caps_.term_char) {
            h.attributes = kAttrTermCharEnabled;
            h.term_char = stop.term_char;
        }
        return h;
    }

    // Whether a read into `size` bytes with `stop` would make request `h`.
    bool same_request(const BulkHeader& h, std::size_t size, const ReadStop& stop) const {
        const bool term = stop.term_char_enabled && caps_.term_char;
        return h.transfer_size == std::min(size, max_in_) &&
               h.attributes == (term ? kAttrTermCharEnabled : 0) &&
               (!term || h.term_char == stop.term_char);
    }

    // A posted request that no read took is taken back; when it had reached
    // the device, the reply it may be sending is aborted. (USBTMC 1.0, 3.3.2.1
    // and 4.2.1.4: a pending request's bulk-OUT transfer is retired first,
    // and INITIATE_ABORT_BULK_IN still sent.)
    void settle() {
        if (!pending_)
            return;
        stream_.continuation.reset();
        const std::uint8_t tag = pending_->header.tag;
        pending_.reset();
        bool sent = false;
        link_->drop_posted(sent);
        if (sent && !lost_)
            note(abort_bulk_in(*link_, tag));
    }

    // The DEV_DEP_MSG_OUT transfer of `data` (frame_): USBTMC 1.0, 3.2.1.1,
    // Table 3; the data right after the header and padded to 4 bytes: 3.2,
    // rules 1 and 2.
    void message_frame(std::span<const std::uint8_t> data, bool end, std::uint8_t tag) {
        BulkHeader h;
        h.msg_id = DEV_DEP_MSG_OUT;
        h.tag = tag;
        h.transfer_size = static_cast<std::uint32_t>(data.size());
        h.attributes = end ? kAttrEom : 0;
        frame_.assign(kHeaderSize + data.size() + padding_for(data.size()), 0);
        encode_header(h, std::span<std::uint8_t, kHeaderSize>(frame_.data(), kHeaderSize));
        std::copy(data.begin(), data.end(), frame_.begin() + kHeaderSize);
    }

    // One USB488 remote/local request: its one-byte answer must be SUCCESS
    // (USB488 1.0, 4.3.2 to 4.3.4, Tables 16, 18 and 20).
    ViStatus remote_request(std::uint8_t request, std::uint16_t value, Deadline deadline) {
        std::array<std::uint8_t, 1> answer{};
        std::size_t got = 0;
        const ViStatus st =
            note(link_->control_in(kRequestTypeInterfaceIn, request, value,
                                   link_->interface_number(), answer, got, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        if (st != VI_SUCCESS)
            return st;
        return got == 1 && answer[0] == STATUS_SUCCESS ? VI_SUCCESS : VI_ERROR_IO;
    }

    // bTag runs 1..255 and never takes the value 0 (USBTMC 1.0, 3.2, Table 1).
    std::uint8_t next_tag() {
        last_tag_ = last_tag_ == 255 ? 1 : static_cast<std::uint8_t>(last_tag_ + 1);
        return last_tag_;
    }

    // One bulk-OUT transfer; a timeout or a cancel aborts it so that the
    // device is ready for the next one (USBTMC 1.0, 3.2.2.1 and 4.2.1.2).
    ViStatus send(std::span<const std::uint8_t> frame, std::uint8_t tag, Deadline deadline) {
        return sent(out_again_if_halted([&] { return link_->bulk_out(frame, deadline); }), tag);
    }

    // The outcome of the bulk-OUT transfer tagged `tag`: after a timeout or
    // a cancel it is aborted. A refused transfer (stall) comes back as
    // VI_ERROR_IO with the halt already cleared by the link (USBTMC 1.0,
    // 3.2.2.4).
    ViStatus sent(ViStatus st, std::uint8_t tag) {
        note(st);
        if (st != VI_ERROR_TMO && st != VI_ERROR_ABORT)
            return st;
        link_->resume();
        const ViStatus recovered = note(abort_bulk_out(*link_, tag));
        return recovered == VI_ERROR_CONN_LOST ? recovered : st;
    }

    // GET_CAPABILITIES, once: capabilities are static unless stated otherwise
    // (USBTMC 1.0, 4.2.1.8). A device that stalls it is used without the
    // optional features (the request is Required, Table 15: such a device is
    // at fault, tolerated); one that does not answer is asked again next time.
    ViStatus read_capabilities(Deadline deadline) {
        std::array<std::uint8_t, kCapabilitiesLength> answer{};
        std::size_t got = 0;
        const ViStatus st =
            note(link_->control_in(kRequestTypeInterfaceIn, GET_CAPABILITIES, 0,
                                   link_->interface_number(), answer, got, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        if (st != VI_SUCCESS && st != VI_ERROR_IO)
            return st;
        if (st == VI_SUCCESS) {
            caps_ = parse_capabilities(std::span(answer.data(), got),
                                       link_->facts().interface_protocol == kProtocolUsb488);
            caps_answer_.assign(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(got));
        }
        if (no_termchar_)
            caps_.term_char = false;
        caps_read_ = true;
        if (clear_on_open_) {
            // Whatever the clear's outcome, the connection goes on as any other.
            const ViStatus cleared = note(usbtmc::clear_device(*link_, deadline));
            if (cleared == VI_ERROR_ABORT)
                link_->resume();
            if (cleared == VI_ERROR_CONN_LOST)
                return cleared;
        }
        return VI_SUCCESS;
    }

    // Remembers a lost device: every later call fails at once.
    ViStatus note(ViStatus st) {
        if (st == VI_ERROR_CONN_LOST)
            lost_ = true;
        return st;
    }

    std::unique_ptr<UsbLink> link_;
    const InterfaceFacts facts_{link_->facts()};  // a link's facts never change
    Capabilities caps_;                           // none until read by the first acquire
    bool caps_read_ = false;
    std::vector<std::uint8_t> caps_answer_;  // GET_CAPABILITIES as it came
    std::size_t max_out_;                    // data bytes in one DEV_DEP_MSG_OUT
    std::size_t max_in_;                     // TransferSize of one REQUEST_DEV_DEP_MSG_IN
    bool no_termchar_;                       // the instrument's TermChar is not used
    bool clear_on_open_;                     // the first acquire clears the instrument
    std::uint8_t last_tag_ = tag_before_first();
    std::unique_ptr<InterruptChannel> interrupts_;
    std::atomic<bool> lost_{false};
    std::vector<std::uint8_t> frame_;  // the last DEV_DEP_MSG_OUT transfer
    // Where replies' transfers land (header and padding included), kept
    // between reads; never zeroed, only what a transfer brings is read.
    std::unique_ptr<std::uint8_t[]> scratch_;
    std::size_t scratch_size_ = 0;
    std::optional<PendingReply> pending_;
    InStream stream_;
    MessageEnd message_end_;
    bool out_proven_ = false;  // a bulk-OUT transfer has been tried
};

}  // namespace

ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, std::unique_ptr<Transport>& out,
                               const HostQuirks& quirks) {
    if (!link)
        return VI_ERROR_SYSTEM_ERROR;
    if (trace::transfers_on())
        link = traced_link(std::move(link));
    out = std::make_unique<UsbtmcTransport>(std::move(link), quirks);
    return VI_SUCCESS;
}

}  // namespace sgvisa::usbtmc
