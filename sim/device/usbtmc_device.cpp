#include "device/usbtmc_device.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <string>
#include <string_view>

#include "device/message_log.h"
#include "proto/usbtmc.h"
#include "reply_transfer.h"
#include "usb488_interface.h"

namespace sgsim {

namespace tmc = sgproto::usbtmc;

namespace {

// A program message longer than this is refused (the endpoint halts).
constexpr std::size_t kMaxMessage = std::size_t{1} << 20;

// What a trigger from the interface is recorded as in the message log.
constexpr std::string_view kTriggerLogLine = "*TRG";

void put_le32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    v[at] = static_cast<std::uint8_t>(x);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
    v[at + 2] = static_cast<std::uint8_t>(x >> 16);
    v[at + 3] = static_cast<std::uint8_t>(x >> 24);
}

}  // namespace

struct UsbtmcDevice::State {
    Instrument& instrument;
    DeviceFaults faults;
    MessageLog* log;
    Usb488Interface usb488;

    // Bulk-OUT: the DEV_DEP_MSG_OUT transfer being received and the message
    // being assembled from such transfers.
    bool out_halted = false;
    bool out_in_transfer = false;  // data bytes of a transfer still expected
    std::uint8_t out_tag = 0;
    std::uint32_t out_left = 0;      // data bytes of the current transfer still expected
    std::size_t out_pad_left = 0;    // alignment bytes still to skip
    bool out_eom = false;            // the current transfer ends the message
    std::uint32_t out_received = 0;  // data bytes of the current (or aborted) transfer
    std::string message;

    // Bulk-IN: the host's pending REQUEST_DEV_DEP_MSG_IN.
    bool request_pending = false;
    InRequest request;
    std::uint32_t in_sent_last = 0;  // data bytes of the last DEV_DEP_MSG_IN sent
    std::uint8_t reply_tag = 0;      // the bTag of the current reply's first transfer
    bool in_halted = false;

    // Quirks: the leftover transfer not yet taken, late replies not yet due
    // (in the order of their requests; a transfer once cut), transfers
    // committed to the bulk-IN FIFO not yet taken, a clear that never ends,
    // bulk-OUT traffic since the last halt of halt-after-close.
    struct LateReply {
        InRequest request;
        Clock::time_point due;
        std::optional<std::vector<std::uint8_t>> transfer;
    };
    bool leftover_waits = false;
    std::deque<LateReply> late;
    std::deque<std::vector<std::uint8_t>> committed;
    bool clear_started = false;
    bool bulk_used = false;
    bool out_halt_stays = false;  // bulk-OUT's halt of host_gone(): a reset keeps it

    // The response being returned, available to the host from
    // response_ready on.
    bool have_response = false;
    bool available = false;
    bool requests_service = false;  // the instrument's own request while available
    std::string response;
    std::size_t response_pos = 0;
    Clock::time_point response_ready{};

    State(Instrument& i, DeviceFaults f, MessageLog* l)
        : instrument(i),
          faults(f),
          log(l),
          usb488(i.status(), !f.no_interrupt_in),
          leftover_waits(f.quirks.leftover) {}

    const DeviceQuirks& quirks() const { return faults.quirks; }
    bool is_late() const { return quirks().late.count() > 0; }

    void set_available(bool on) {
        if (available == on)
            return;
        available = on;
        instrument.status().set_message_available(on);
        if (requests_service)
            instrument.status().set_own_request(on);
    }

    void advance(Clock::time_point now) {
        if (have_response && !available && now >= response_ready)
            set_available(true);
        if (!late.empty())
            advance_late(now);
    }

    // Late replies take their transfers in the order of their requests, each
    // as soon as a response is there, and are committed when due.
    void advance_late(Clock::time_point now) {
        for (LateReply& r : late) {
            if (r.transfer)
                continue;
            if (!have_response || !available)
                break;
            r.transfer = next_transfer(r.request, std::numeric_limits<std::size_t>::max());
        }
        while (!late.empty() && late.front().transfer && now >= late.front().due) {
            committed.push_back(std::move(*late.front().transfer));
            late.pop_front();
        }
    }

    // The next transfer of the response for `r`, at most `max` bytes.
    std::vector<std::uint8_t> next_transfer(const InRequest& r, std::size_t max) {
        if (response_pos == 0)
            reply_tag = r.tag;
        const std::uint8_t tag = quirks().tag_repeat ? reply_tag : r.tag;
        const std::string_view rest(response.data() + response_pos, response.size() - response_pos);
        ReplyTransfer t = cut_reply_transfer(rest, r, tag, max, quirks());
        response_pos += t.taken;
        in_sent_last = static_cast<std::uint32_t>(t.taken);
        if (t.last)
            drop_output();
        return std::move(t.bytes);
    }

    void drop_output() {
        set_available(false);
        have_response = false;
        requests_service = false;
        response.clear();
        response_pos = 0;
    }

    void drop_partial_input() {
        out_in_transfer = false;
        out_left = 0;
        out_pad_left = 0;
        message.clear();
    }

    void halt_out() {
        out_halted = true;
        drop_partial_input();
    }

    void complete_message() {
        std::string msg;
        msg.swap(message);
        if (log)
            log->record(msg);
        std::string reply = instrument.execute(msg);
        if (reply.empty() || faults.no_reply)
            return;
        const ResponseDelivery delivery = instrument.response_delivery();
        response = std::move(reply);
        response_pos = 0;
        have_response = true;
        requests_service = delivery.request_service;
        const Clock::time_point now = Clock::now();
        response_ready = now + std::max(faults.reply_delay, delivery.delay);
        advance(now);
    }

    void trigger() {
        if (log)
            log->record(kTriggerLogLine);
        usb488.addressed();
        instrument.trigger();
    }

    // Consumes data bytes of the current DEV_DEP_MSG_OUT transfer; returns how
    // many bytes of `in` were used.
    std::size_t take_data(std::span<const std::uint8_t> in) {
        const std::size_t n = std::min<std::size_t>(in.size(), out_left);
        message.append(reinterpret_cast<const char*>(in.data()), n);
        out_left -= static_cast<std::uint32_t>(n);
        out_received += static_cast<std::uint32_t>(n);
        if (out_left == 0) {
            out_in_transfer = false;
            if (out_eom)
                complete_message();
        }
        return n;
    }

    // Handles one bulk header at the start of `in`; returns the bytes used or
    // 0 when the transfer is malformed.
    std::size_t take_header(std::span<const std::uint8_t> in) {
        tmc::BulkHeader h;
        if (!tmc::decode_header(in, h))
            return 0;
        if (h.msg_id == tmc::DEV_DEP_MSG_OUT) {
            if (h.transfer_size == 0)
                return 0;
            if (message.size() + h.transfer_size > kMaxMessage)
                return 0;
            if (message.empty())
                drop_output();  // a new message ends the unread reply
            usb488.addressed();
            out_in_transfer = true;
            out_tag = h.tag;
            out_left = h.transfer_size;
            out_received = 0;
            out_eom = (h.attributes & tmc::kAttrEom) != 0;
            out_pad_left = tmc::padding_for(h.transfer_size);
            return tmc::kHeaderSize;
        }
        if (h.msg_id == tmc::REQUEST_DEV_DEP_MSG_IN) {
            if (h.transfer_size == 0)
                return 0;
            const InRequest r{h.tag, h.transfer_size,
                              (h.attributes & tmc::kAttrTermCharEnabled) != 0, h.term_char};
            if (is_late()) {
                const Clock::time_point now = Clock::now();
                late.push_back({r, now + quirks().late, std::nullopt});
                advance(now);
            } else {
                request_pending = true;
                request = r;
            }
            return tmc::kHeaderSize;
        }
        if (h.msg_id == tmc::USB488_TRIGGER) {
            trigger();  // a header alone: the rest of it is reserved
            return tmc::kHeaderSize;
        }
        return 0;
    }
};

UsbtmcDevice::UsbtmcDevice(Instrument& instrument, DeviceFaults faults, MessageLog* log)
    : state_(std::make_unique<State>(instrument, faults, log)) {}

UsbtmcDevice::~UsbtmcDevice() = default;

bool UsbtmcDevice::bulk_out(std::span<const std::uint8_t> transfer) {
    State& s = *state_;
    if (s.out_halted)
        return false;
    s.bulk_used = true;
    while (!transfer.empty()) {
        if (s.out_in_transfer) {
            transfer = transfer.subspan(s.take_data(transfer));
            continue;
        }
        if (s.out_pad_left > 0) {
            const std::size_t n = std::min(s.out_pad_left, transfer.size());
            s.out_pad_left -= n;
            transfer = transfer.subspan(n);
            continue;
        }
        const std::size_t used = s.take_header(transfer);
        if (used == 0) {
            s.halt_out();
            return false;
        }
        transfer = transfer.subspan(used);
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> UsbtmcDevice::bulk_in(std::size_t max,
                                                               Clock::time_point now) {
    State& s = *state_;
    s.advance(now);
    if (s.in_halted || !s.request_pending)
        return std::nullopt;
    if (!s.have_response || !s.available) {
        if (!s.quirks().empty_when_idle || max < tmc::kHeaderSize)
            return std::nullopt;
        s.request_pending = false;
        s.in_sent_last = 0;
        return empty_reply_transfer(s.request.tag);
    }
    s.request_pending = false;
    return s.next_transfer(s.request, max);
}

std::optional<std::vector<std::uint8_t>> UsbtmcDevice::take_committed() {
    State& s = *state_;
    if (s.leftover_waits) {
        s.leftover_waits = false;
        return whole_reply_transfer(DeviceQuirks::kLeftoverTag, DeviceQuirks::kLeftoverReply);
    }
    if (s.committed.empty())
        return std::nullopt;
    std::vector<std::uint8_t> t = std::move(s.committed.front());
    s.committed.pop_front();
    return t;
}

bool UsbtmcDevice::has_committed() const {
    return state_->leftover_waits || !state_->committed.empty();
}

std::optional<Clock::time_point> UsbtmcDevice::next_ready() const {
    const State& s = *state_;
    std::optional<Clock::time_point> next;
    if (s.have_response && !s.available)
        next = s.response_ready;
    // Only the first late reply can be committed next; one without its
    // transfer waits for a response (above).
    if (!s.late.empty() && s.late.front().transfer && (!next || s.late.front().due < *next))
        next = s.late.front().due;
    return next;
}

void UsbtmcDevice::advance(Clock::time_point now) {
    state_->advance(now);
}

std::optional<std::vector<std::uint8_t>> UsbtmcDevice::control_in(std::uint8_t request_type,
                                                                  std::uint8_t request,
                                                                  std::uint16_t value,
                                                                  std::uint16_t index,
                                                                  std::uint16_t length) {
    State& s = *state_;
    std::vector<std::uint8_t> r;
    const bool to_interface =
        request_type == tmc::kRequestTypeInterfaceIn && (index & 0xFF) == kInterfaceNumber;
    const bool to_endpoint = request_type == tmc::kRequestTypeEndpointIn;
    const bool to_in_endpoint = to_endpoint && (index & 0xFF) == kBulkInEndpoint;
    const bool to_out_endpoint = to_endpoint && (index & 0xFF) == kBulkOutEndpoint;

    // GET_STATUS, the standard request a host sends a configured device's
    // interface and endpoints (USB 2.0, 9.4.5): the device is bus-powered
    // without remote wakeup, an endpoint tells whether it is halted. The
    // other standard requests are the bus's (the gadget framework's on USB,
    // the attachment's on the local bus).
    if ((request_type & 0x60) == 0) {
        if (request != kStandardGetStatus || length < 2)
            return std::nullopt;
        const std::uint8_t recipient = request_type & 0x1F;
        const std::uint8_t endpoint = index & 0xFF;
        if (request_type == 0x80 || (recipient == 1 && endpoint == kInterfaceNumber))
            return std::vector<std::uint8_t>{0, 0};
        if (recipient != 2)
            return std::nullopt;
        if (endpoint == kBulkInEndpoint)
            return std::vector<std::uint8_t>{static_cast<std::uint8_t>(s.in_halted), 0};
        if (endpoint == kBulkOutEndpoint)
            return std::vector<std::uint8_t>{static_cast<std::uint8_t>(s.out_halted), 0};
        if (endpoint == kInterruptInEndpoint && has_interrupt_in())
            return std::vector<std::uint8_t>{0, 0};
        return std::nullopt;
    }

    switch (request) {
        case tmc::INITIATE_ABORT_BULK_OUT:
            if (!to_out_endpoint)
                return std::nullopt;
            r = {tmc::STATUS_FAILED, static_cast<std::uint8_t>(value)};
            if (s.out_in_transfer) {
                if (s.out_tag == static_cast<std::uint8_t>(value)) {
                    r[0] = tmc::STATUS_SUCCESS;
                    s.drop_partial_input();
                } else {
                    r[0] = tmc::STATUS_TRANSFER_NOT_IN_PROGRESS;
                }
            }
            break;
        case tmc::CHECK_ABORT_BULK_OUT_STATUS:
            if (!to_out_endpoint)
                return std::nullopt;
            r.assign(tmc::kCheckAbortLength, 0);
            r[0] = tmc::STATUS_SUCCESS;
            put_le32(r, 4, s.out_received);
            break;
        case tmc::INITIATE_ABORT_BULK_IN:
            if (!to_in_endpoint)
                return std::nullopt;
            r = {tmc::STATUS_FAILED, static_cast<std::uint8_t>(value)};
            if (!s.late.empty() || !s.committed.empty()) {
                r[0] = tmc::STATUS_TRANSFER_NOT_IN_PROGRESS;  // and the reply goes on
            } else if (s.request_pending) {
                if (s.request.tag == static_cast<std::uint8_t>(value)) {
                    r[0] = tmc::STATUS_SUCCESS;
                    s.request_pending = false;
                    s.in_sent_last = 0;
                    s.drop_output();
                } else {
                    r[0] = tmc::STATUS_TRANSFER_NOT_IN_PROGRESS;
                }
            }
            break;
        case tmc::CHECK_ABORT_BULK_IN_STATUS:
            if (!to_in_endpoint)
                return std::nullopt;
            r.assign(tmc::kCheckAbortLength, 0);
            r[0] = tmc::STATUS_SUCCESS;
            put_le32(r, 4, s.in_sent_last);
            break;
        case tmc::INITIATE_CLEAR:
            if (!to_interface)
                return std::nullopt;
            s.drop_partial_input();
            s.drop_output();
            s.request_pending = false;
            s.late.clear();
            s.instrument.clear();
            s.clear_started = true;
            r = {tmc::STATUS_SUCCESS};
            break;
        case tmc::CHECK_CLEAR_STATUS:
            if (!to_interface)
                return std::nullopt;
            r = {s.quirks().clear_pending && s.clear_started ? tmc::STATUS_PENDING
                                                             : tmc::STATUS_SUCCESS,
                 0};
            break;
        case tmc::GET_CAPABILITIES:
            if (!to_interface)
                return std::nullopt;
            r.assign(tmc::kCapabilitiesLength, 0);
            r[0] = tmc::STATUS_SUCCESS;
            r[2] = 0x00;  // bcdUSBTMC 1.00
            r[3] = 0x01;
            r[tmc::kCapsInterface] = 0;  // no INDICATOR_PULSE, talks and listens
            r[tmc::kCapsDevice] = tmc::kDeviceCapTermChar;
            r[12] = 0x00;  // bcdUSB488 1.00
            r[13] = 0x01;
            r[tmc::kCapsUsb488Interface] = s.usb488.interface_capabilities();
            r[tmc::kCapsUsb488Device] = s.usb488.device_capabilities();
            break;
        case tmc::USB488_READ_STATUS_BYTE:
            if (!to_interface)
                return std::nullopt;
            s.advance(Clock::now());  // MAV as it is now
            r = s.usb488.read_status_byte(value);
            break;
        case tmc::USB488_REN_CONTROL:
            if (!to_interface || s.quirks().stall_remote)
                return std::nullopt;
            r = s.usb488.ren_control(value);
            break;
        case tmc::USB488_GO_TO_LOCAL:
            if (!to_interface || s.quirks().stall_remote)
                return std::nullopt;
            r = s.usb488.go_to_local();
            break;
        case tmc::USB488_LOCAL_LOCKOUT:
            if (!to_interface || s.quirks().stall_remote)
                return std::nullopt;
            r = s.usb488.local_lockout();
            break;
        default:
            return std::nullopt;
    }
    if (r.size() > length)
        r.resize(length);
    return r;
}

bool UsbtmcDevice::control_out(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                               std::uint16_t index, std::span<const std::uint8_t> data) {
    // CLEAR_FEATURE(ENDPOINT_HALT) to a bulk endpoint (USB 2.0, 9.4.1); USBTMC
    // has no OUT class requests, and the device takes no vendor ones.
    constexpr std::uint8_t kClearFeature = 1;
    const std::uint8_t endpoint = index & 0xFF;
    if (request_type == 0x02 && request == kClearFeature && value == 0 && data.empty() &&
        (endpoint == kBulkInEndpoint || endpoint == kBulkOutEndpoint)) {
        clear_halt(endpoint);
        return true;
    }
    return false;
}

void UsbtmcDevice::clear_halt(std::uint8_t endpoint) {
    State& s = *state_;
    if ((endpoint & 0x80) == 0) {
        s.out_halted = false;
        s.out_halt_stays = false;
        s.drop_partial_input();
    } else {
        s.in_halted = false;
    }
}

void UsbtmcDevice::reset() {
    State& s = *state_;
    s.out_halted = s.out_halt_stays;
    s.drop_partial_input();
    s.drop_output();
    s.request_pending = false;
    s.in_sent_last = 0;
    s.late.clear();
    s.committed.clear();
    s.clear_started = false;
    s.usb488.reset();
}

bool UsbtmcDevice::host_gone() {
    State& s = *state_;
    if (!s.quirks().halt_after_close || !s.bulk_used)
        return false;
    s.bulk_used = false;
    s.halt_out();
    s.out_halt_stays = true;
    s.in_halted = true;
    return true;
}

bool UsbtmcDevice::bulk_in_halted() const {
    return state_->in_halted;
}

const DeviceQuirks& UsbtmcDevice::quirks() const {
    return state_->quirks();
}

bool UsbtmcDevice::has_interrupt_in() const {
    return state_->usb488.has_interrupt_in();
}

std::optional<InterruptPacket> UsbtmcDevice::take_interrupt() {
    return state_->usb488.interrupts().pop();
}

void UsbtmcDevice::put_back_interrupt(const InterruptPacket& packet) {
    state_->usb488.interrupts().put_back(packet);
}

bool UsbtmcDevice::has_interrupt() const {
    return !state_->usb488.interrupts().empty();
}

RemoteLocal::State UsbtmcDevice::remote_state() const {
    return state_->usb488.remote_local().state();
}

std::string UsbtmcDevice::describe_interface() const {
    return "Remote state: " + std::string(remote_state_name(remote_state())) + "\n";
}

}  // namespace sgsim
