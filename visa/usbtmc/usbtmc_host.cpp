#include "usbtmc_host.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "interrupt_channel.h"
#include "usb488_messages.h"
#include "usbtmc.h"
#include "usbtmc_capabilities.h"
#include "usbtmc_recovery.h"
#include "usbtmc_reply.h"

namespace sgvisa {
namespace {

using namespace usbtmc;
using namespace sgproto::usbtmc;

// Message bytes carried by one DEV_DEP_MSG_OUT transfer; longer messages are
// split into several transfers.
constexpr std::size_t kMaxOutPayload = 4096;
// TransferSize asked for in one REQUEST_DEV_DEP_MSG_IN.
constexpr std::size_t kMaxInPayload = 64 * 1024;

// However short an operation's own wait, the first claim and the
// capability request get this long.
constexpr auto kSetupTime = std::chrono::milliseconds(1000);

class UsbtmcTransport final : public Transport {
  public:
    explicit UsbtmcTransport(std::unique_ptr<UsbLink> link) : link_(std::move(link)) {
        // The descriptors tell a USB488 interface; its capabilities are read
        // only once the instrument may be talked to (acquire).
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

    ViStatus write(std::span<const std::uint8_t> data, bool end, Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        // TransferSize may not be 0, so an empty write sends nothing.
        if (data.empty())
            return VI_SUCCESS;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        for (std::size_t offset = 0; offset < data.size(); offset += kMaxOutPayload) {
            const std::size_t n = std::min(kMaxOutPayload, data.size() - offset);
            const std::uint8_t tag = next_tag();
            message_frame(data.subspan(offset, n), end && offset + n == data.size(), tag);
            const ViStatus st = send(frame_, tag, deadline);
            if (st != VI_SUCCESS)
                return st;
        }
        return VI_SUCCESS;
    }

    // The query's last transfer goes with the request for the reply and the
    // bulk-IN transfer the reply comes in, all in flight together.
    ViStatus write_query(std::span<const std::uint8_t> data, std::size_t reply_size,
                         const ReadStop& stop, Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (data.empty() || reply_size == 0)
            return write(data, true, deadline);
        const std::size_t last = (data.size() - 1) / kMaxOutPayload * kMaxOutPayload;
        if (last > 0) {
            const ViStatus st = write(data.first(last), false, deadline);
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
            sent(link_->bulk_out_posting(frame_, reply.request,
                                         first_transfer_size(*link_, reply.header.transfer_size),
                                         deadline, posted),
                 tag);
        if (st == VI_SUCCESS && posted)
            pending_ = reply;
        return st;
    }

    ViStatus read(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                  ReadResult& result) override {
        result = ReadResult{};
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
        const BulkHeader& h = reply.header;
        ReplyReceived received;
        const std::size_t scratch_size = first_transfer_size(
            *link_, static_cast<std::uint32_t>(std::min<std::size_t>(h.transfer_size, buf.size())));
        if (scratch_size_ < scratch_size) {
            scratch_ = std::make_unique_for_overwrite<std::uint8_t[]>(scratch_size);
            scratch_size_ = scratch_size;
        }
        const ViStatus st = receive_dev_dep_msg_in(
            *link_, {reply.request, h.tag, h.transfer_size, posted.has_value()}, buf,
            std::span(scratch_.get(), scratch_size), deadline, received);
        if (!received.sent)
            return sent(st, h.tag);
        if (st == VI_ERROR_TMO || st == VI_ERROR_ABORT) {
            link_->resume();
            const ViStatus recovered = note(abort_bulk_in(*link_, h.tag));
            return recovered == VI_ERROR_CONN_LOST ? recovered : st;
        }
        if (st == VI_SUCCESS) {
            result.count = received.count;
            result.end = received.end;
            result.term_char = received.term_char;
        }
        return note(st);
    }

    ViStatus clear(Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        const ViStatus st = note(clear_device(*link_, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        return st;
    }

    ViStatus read_status_byte(Deadline deadline, std::uint8_t& status) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!caps_.usb488)
            return VI_ERROR_NSUP_OPER;
        status_tag_ = usb488::next_status_tag(status_tag_);
        const std::uint8_t tag = status_tag_;
        if (interrupts_)
            interrupts_->expect(tag);  // before asking: the answer may come at once
        std::array<std::uint8_t, usb488::kReadStatusByteLength> answer{};
        std::size_t got = 0;
        ViStatus st = note(link_->control_in(kRequestTypeInterfaceIn, USB488_READ_STATUS_BYTE, tag,
                                             link_->interface_number(), answer, got, deadline));
        if (st == VI_ERROR_ABORT)
            link_->resume();
        const auto parsed = usb488::parse_status_answer(std::span(answer.data(), got), tag);
        if (st == VI_SUCCESS && !parsed.valid)
            st = VI_ERROR_IO;
        if (!interrupts_) {
            if (st == VI_SUCCESS)
                status = parsed.status_byte;
            return st;
        }
        // With an interrupt-IN endpoint the status byte comes as a
        // notification carrying the request's tag.
        std::uint8_t from_interrupt = 0;
        const ViStatus waited =
            interrupts_->await(tag, st == VI_SUCCESS ? deadline : Clock::now(), from_interrupt);
        if (st != VI_SUCCESS)
            return st;
        if (waited == VI_SUCCESS)
            status = from_interrupt;
        return note(waited);
    }

    ViStatus assert_trigger(Deadline deadline) override {
        settle();
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!caps_.trigger)
            return VI_ERROR_NSUP_OPER;
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

    ViStatus listen_for_service_requests(std::function<void(std::uint8_t)> listener) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (!interrupts_)
            return VI_ERROR_NSUP_OPER;
        interrupts_->set_listener(std::move(listener));
        return VI_SUCCESS;
    }

    void cancel() override { link_->cancel(); }
    void resume() override { link_->resume(); }

    bool lost() const override { return lost_; }

    const UsbDeviceFacts& facts() const override { return link_->facts(); }

  private:
    // A request for a reply, posted behind the query it answers.
    struct PendingReply {
        BulkHeader header;
        std::array<std::uint8_t, kHeaderSize> request{};
    };

    // The REQUEST_DEV_DEP_MSG_IN of a read into `size` bytes.
    BulkHeader request_header(std::size_t size, const ReadStop& stop) {
        BulkHeader h;
        h.msg_id = REQUEST_DEV_DEP_MSG_IN;
        h.tag = next_tag();
        h.transfer_size = static_cast<std::uint32_t>(std::min(size, kMaxInPayload));
        if (stop.term_char_enabled && caps_.term_char) {
            h.attributes = kAttrTermCharEnabled;
            h.term_char = stop.term_char;
        }
        return h;
    }

    // Whether a read into `size` bytes with `stop` would make request `h`.
    bool same_request(const BulkHeader& h, std::size_t size, const ReadStop& stop) const {
        const bool term = stop.term_char_enabled && caps_.term_char;
        return h.transfer_size == std::min(size, kMaxInPayload) &&
               h.attributes == (term ? kAttrTermCharEnabled : 0) &&
               (!term || h.term_char == stop.term_char);
    }

    // A posted request that no read took is taken back; when it had reached
    // the device, the reply it may be sending is aborted.
    void settle() {
        if (!pending_)
            return;
        const std::uint8_t tag = pending_->header.tag;
        pending_.reset();
        bool sent = false;
        link_->drop_posted(sent);
        if (sent && !lost_)
            note(abort_bulk_in(*link_, tag));
    }

    // The DEV_DEP_MSG_OUT transfer of `data` (frame_).
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

    // One USB488 remote/local request: its one-byte answer must be SUCCESS.
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

    // bTag runs 1..255 and never takes the value 0.
    std::uint8_t next_tag() {
        last_tag_ = last_tag_ == 255 ? 1 : static_cast<std::uint8_t>(last_tag_ + 1);
        return last_tag_;
    }

    // One bulk-OUT transfer; a timeout or a cancel aborts it so that the
    // device is ready for the next one.
    ViStatus send(std::span<const std::uint8_t> frame, std::uint8_t tag, Deadline deadline) {
        return sent(link_->bulk_out(frame, deadline), tag);
    }

    // The outcome of the bulk-OUT transfer tagged `tag`: after a timeout or
    // a cancel it is aborted. A refused transfer (stall) comes back as
    // VI_ERROR_IO with the halt already cleared by the link.
    ViStatus sent(ViStatus st, std::uint8_t tag) {
        note(st);
        if (st != VI_ERROR_TMO && st != VI_ERROR_ABORT)
            return st;
        link_->resume();
        const ViStatus recovered = note(abort_bulk_out(*link_, tag));
        return recovered == VI_ERROR_CONN_LOST ? recovered : st;
    }

    // GET_CAPABILITIES, once. A device that stalls it is used without the
    // optional features; one that does not answer is asked again next time.
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
        if (st == VI_SUCCESS)
            caps_ = parse_capabilities(std::span(answer.data(), got),
                                       link_->facts().interface_protocol == kProtocolUsb488);
        caps_read_ = true;
        return VI_SUCCESS;
    }

    // Remembers a lost device: every later call fails at once.
    ViStatus note(ViStatus st) {
        if (st == VI_ERROR_CONN_LOST)
            lost_ = true;
        return st;
    }

    std::unique_ptr<UsbLink> link_;
    Capabilities caps_;  // none until read by the first acquire
    bool caps_read_ = false;
    std::uint8_t last_tag_ = 0;
    std::uint8_t status_tag_ = 0;
    std::unique_ptr<InterruptChannel> interrupts_;
    std::atomic<bool> lost_{false};
    std::vector<std::uint8_t> frame_;  // the last DEV_DEP_MSG_OUT transfer
    // Where replies' transfers land (header and padding included), kept
    // between reads; never zeroed, only what a transfer brings is read.
    std::unique_ptr<std::uint8_t[]> scratch_;
    std::size_t scratch_size_ = 0;
    std::optional<PendingReply> pending_;
};

}  // namespace

ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, std::unique_ptr<Transport>& out) {
    if (!link)
        return VI_ERROR_SYSTEM_ERROR;
    out = std::make_unique<UsbtmcTransport>(std::move(link));
    return VI_SUCCESS;
}

}  // namespace sgvisa
