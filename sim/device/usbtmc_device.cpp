#include "usbtmc_device.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "message_log.h"
#include "usbtmc.h"

namespace sgsim {

namespace u = sgproto::usbtmc;

namespace {

// A program message longer than this is refused (the endpoint halts).
constexpr std::size_t kMaxMessage = std::size_t{1} << 20;

// The capabilities this device reports: USBTMC 1.00 with TermChar, USB488 1.00
// with the 488.2 interface and REN_CONTROL/GO_TO_LOCAL/LOCAL_LOCKOUT, SCPI.
constexpr std::uint8_t kInterfaceCapIndicatorPulse = 0x04;
constexpr std::uint8_t kUsb488InterfaceCaps = 0x06;
constexpr std::uint8_t kUsb488DeviceCapScpi = 0x08;
constexpr std::uint8_t kStbMav = 0x10;

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
    std::uint8_t request_tag = 0;
    std::uint32_t request_size = 0;
    bool request_term_enabled = false;
    std::uint8_t request_term = 0;
    std::uint32_t in_sent_last = 0;  // data bytes of the last DEV_DEP_MSG_IN sent

    // The response being returned.
    bool have_response = false;
    std::string response;
    std::size_t response_pos = 0;
    Clock::time_point response_ready{};

    State(Instrument& i, DeviceFaults f, MessageLog* l) : instrument(i), faults(f), log(l) {}

    void drop_output() {
        have_response = false;
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
        response = std::move(reply);
        response_pos = 0;
        have_response = true;
        response_ready = Clock::now() + faults.reply_delay;
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
        u::BulkHeader h;
        if (!u::decode_header(in, h))
            return 0;
        if (h.msg_id == u::DEV_DEP_MSG_OUT) {
            if (h.transfer_size == 0)
                return 0;
            if (message.size() + h.transfer_size > kMaxMessage)
                return 0;
            if (message.empty())
                drop_output();  // a new message ends the unread reply
            out_in_transfer = true;
            out_tag = h.tag;
            out_left = h.transfer_size;
            out_received = 0;
            out_eom = (h.attributes & u::kAttrEom) != 0;
            out_pad_left = u::padding_for(h.transfer_size);
            return u::kHeaderSize;
        }
        if (h.msg_id == u::REQUEST_DEV_DEP_MSG_IN) {
            if (h.transfer_size == 0)
                return 0;
            request_pending = true;
            request_tag = h.tag;
            request_size = h.transfer_size;
            request_term_enabled = (h.attributes & u::kAttrTermCharEnabled) != 0;
            request_term = h.term_char;
            return u::kHeaderSize;
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
    if (!s.request_pending || !s.have_response || now < s.response_ready)
        return std::nullopt;

    const std::size_t remaining = s.response.size() - s.response_pos;
    std::size_t n = std::min<std::size_t>(remaining, s.request_size);
    if (s.faults.split > 0)
        n = std::min(n, s.faults.split);
    bool term_ended = false;
    if (s.request_term_enabled) {
        const auto first = s.response.begin() + static_cast<std::ptrdiff_t>(s.response_pos);
        const auto hit = std::find(first, first + static_cast<std::ptrdiff_t>(n),
                                   static_cast<char>(s.request_term));
        if (hit != first + static_cast<std::ptrdiff_t>(n)) {
            n = static_cast<std::size_t>(hit - first) + 1;
            term_ended = true;
        }
    }
    // The whole transfer, padding included, must fit the host's buffer.
    while (n > 0 && u::kHeaderSize + n + u::padding_for(n) > max) {
        n--;
        term_ended = false;
    }

    const bool eom = n == remaining;
    u::BulkHeader h;
    h.msg_id = u::DEV_DEP_MSG_IN;
    h.tag = s.request_tag;
    h.transfer_size = static_cast<std::uint32_t>(n);
    h.attributes = static_cast<std::uint8_t>((eom ? u::kAttrEom : 0) |
                                             (term_ended ? u::kAttrTermCharEnded : 0));
    std::vector<std::uint8_t> out(u::kHeaderSize + n + u::padding_for(n), 0);
    u::encode_header(h, std::span<std::uint8_t, u::kHeaderSize>(out.data(), u::kHeaderSize));
    std::copy_n(s.response.begin() + static_cast<std::ptrdiff_t>(s.response_pos), n,
                out.begin() + u::kHeaderSize);
    if (out.size() > max)
        out.resize(max);  // only for a host buffer smaller than a header

    s.response_pos += n;
    s.request_pending = false;
    s.in_sent_last = static_cast<std::uint32_t>(n);
    if (eom)
        s.drop_output();
    return out;
}

std::optional<Clock::time_point> UsbtmcDevice::next_ready() const {
    const State& s = *state_;
    if (!s.have_response || Clock::now() >= s.response_ready)
        return std::nullopt;
    return s.response_ready;
}

std::optional<std::vector<std::uint8_t>> UsbtmcDevice::control_in(std::uint8_t request_type,
                                                                  std::uint8_t request,
                                                                  std::uint16_t value,
                                                                  std::uint16_t index,
                                                                  std::uint16_t length) {
    State& s = *state_;
    std::vector<std::uint8_t> r;
    const bool to_interface =
        request_type == u::kRequestTypeInterfaceIn && (index & 0xFF) == kInterfaceNumber;
    const bool to_in_endpoint = request_type == u::kRequestTypeEndpointIn && (index & 0x80) != 0;
    const bool to_out_endpoint = request_type == u::kRequestTypeEndpointIn && (index & 0x80) == 0;

    switch (request) {
        case u::INITIATE_ABORT_BULK_OUT:
            if (!to_out_endpoint)
                return std::nullopt;
            r = {u::STATUS_FAILED, static_cast<std::uint8_t>(value)};
            if (s.out_in_transfer) {
                if (s.out_tag == static_cast<std::uint8_t>(value)) {
                    r[0] = u::STATUS_SUCCESS;
                    s.drop_partial_input();
                } else {
                    r[0] = u::STATUS_TRANSFER_NOT_IN_PROGRESS;
                }
            }
            break;
        case u::CHECK_ABORT_BULK_OUT_STATUS:
            if (!to_out_endpoint)
                return std::nullopt;
            r.assign(u::kCheckAbortLength, 0);
            r[0] = u::STATUS_SUCCESS;
            put_le32(r, 4, s.out_received);
            break;
        case u::INITIATE_ABORT_BULK_IN:
            if (!to_in_endpoint)
                return std::nullopt;
            r = {u::STATUS_FAILED, static_cast<std::uint8_t>(value)};
            if (s.request_pending) {
                if (s.request_tag == static_cast<std::uint8_t>(value)) {
                    r[0] = u::STATUS_SUCCESS;
                    s.request_pending = false;
                    s.in_sent_last = 0;
                    s.drop_output();
                } else {
                    r[0] = u::STATUS_TRANSFER_NOT_IN_PROGRESS;
                }
            }
            break;
        case u::CHECK_ABORT_BULK_IN_STATUS:
            if (!to_in_endpoint)
                return std::nullopt;
            r.assign(u::kCheckAbortLength, 0);
            r[0] = u::STATUS_SUCCESS;
            put_le32(r, 4, s.in_sent_last);
            break;
        case u::INITIATE_CLEAR:
            if (!to_interface)
                return std::nullopt;
            s.drop_partial_input();
            s.drop_output();
            s.request_pending = false;
            s.instrument.clear();
            r = {u::STATUS_SUCCESS};
            break;
        case u::CHECK_CLEAR_STATUS:
            if (!to_interface)
                return std::nullopt;
            r = {u::STATUS_SUCCESS, 0};
            break;
        case u::GET_CAPABILITIES:
            if (!to_interface)
                return std::nullopt;
            r.assign(u::kCapabilitiesLength, 0);
            r[0] = u::STATUS_SUCCESS;
            r[2] = 0x00;  // bcdUSBTMC 1.00
            r[3] = 0x01;
            r[4] = kInterfaceCapIndicatorPulse;
            r[5] = u::kDeviceCapTermChar;
            r[12] = 0x00;  // bcdUSB488 1.00
            r[13] = 0x01;
            r[14] = kUsb488InterfaceCaps;
            r[15] = kUsb488DeviceCapScpi;
            break;
        case u::INDICATOR_PULSE:
        case u::USB488_REN_CONTROL:
        case u::USB488_GO_TO_LOCAL:
        case u::USB488_LOCAL_LOCKOUT:
            if (!to_interface)
                return std::nullopt;
            r = {u::STATUS_SUCCESS};
            break;
        case u::USB488_READ_STATUS_BYTE: {
            if (!to_interface)
                return std::nullopt;
            const bool mav = s.have_response && Clock::now() >= s.response_ready;
            r = {u::STATUS_SUCCESS, static_cast<std::uint8_t>(value & 0x7F),
                 static_cast<std::uint8_t>(mav ? kStbMav : 0)};
            break;
        }
        default:
            return std::nullopt;
    }
    if (r.size() > length)
        r.resize(length);
    return r;
}

void UsbtmcDevice::clear_halt(std::uint8_t endpoint) {
    State& s = *state_;
    if ((endpoint & 0x80) == 0) {
        s.out_halted = false;
        s.drop_partial_input();
    }
}

void UsbtmcDevice::reset() {
    State& s = *state_;
    s.out_halted = false;
    s.drop_partial_input();
    s.drop_output();
    s.request_pending = false;
    s.in_sent_last = 0;
}

}  // namespace sgsim
