#include "transfer_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "proto/usbtmc.h"
#include "trace/trace_text.h"

namespace sgvisa::usbtmc {
namespace {

using namespace sgproto::usbtmc;

__attribute__((format(printf, 2, 3))) void add(std::string& out, const char* format, ...) {
    char text[96];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        out.append(text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
}

// USBTMC_status names: USBTMC 1.0, Table 16; INTERRUPT_IN_BUSY: USB488 1.0,
// Table 10.
const char* status_name(std::uint8_t status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "SUCCESS";
        case STATUS_PENDING:
            return "PENDING";
        case STATUS_FAILED:
            return "FAILED";
        case STATUS_TRANSFER_NOT_IN_PROGRESS:
            return "TRANSFER_NOT_IN_PROGRESS";
        case STATUS_SPLIT_NOT_IN_PROGRESS:
            return "SPLIT_NOT_IN_PROGRESS";
        case STATUS_SPLIT_IN_PROGRESS:
            return "SPLIT_IN_PROGRESS";
        case STATUS_INTERRUPT_IN_BUSY:
            return "INTERRUPT_IN_BUSY";
        default:
            return "unknown";
    }
}

void data(std::string& out, std::span<const std::uint8_t> bytes) {
    out += " data=";
    trace::append_buffer(out, bytes.data(), bytes.size());
}

}  // namespace

void describe_bulk_out(std::string& out, std::span<const std::uint8_t> transfer) {
    BulkHeader h;
    if (!decode_header(transfer, h)) {
        out += "bulk-OUT without a valid header";
        data(out, transfer);
        return;
    }
    const std::span<const std::uint8_t> rest = transfer.subspan(kHeaderSize);
    switch (h.msg_id) {
        case DEV_DEP_MSG_OUT:
            add(out, "bulk-OUT DEV_DEP_MSG_OUT bTag=%u TransferSize=%u EOM=%u", h.tag,
                h.transfer_size, h.attributes & kAttrEom);
            data(out, rest.first(rest.size() < h.transfer_size ? rest.size() : h.transfer_size));
            return;
        case REQUEST_DEV_DEP_MSG_IN:
            add(out, "bulk-OUT REQUEST_DEV_DEP_MSG_IN bTag=%u TransferSize=%u", h.tag,
                h.transfer_size);
            if ((h.attributes & kAttrTermCharEnabled) != 0)
                add(out, " TermChar=0x%02X", h.term_char);
            return;
        case USB488_TRIGGER:
            add(out, "bulk-OUT TRIGGER bTag=%u", h.tag);
            return;
        default:
            add(out, "bulk-OUT MsgID=%u bTag=%u TransferSize=%u", h.msg_id, h.tag, h.transfer_size);
            data(out, rest);
    }
}

void describe_bulk_in(std::string& out, std::span<const std::uint8_t> transfer,
                      std::uint64_t& reply_left) {
    if (transfer.empty()) {
        out += "bulk-IN zero-length packet";
        return;
    }
    if (reply_left > 0) {
        add(out, "bulk-IN continuing the reply: %u bytes", static_cast<unsigned>(transfer.size()));
        data(out, transfer);
        reply_left = transfer.size() < reply_left ? reply_left - transfer.size() : 0;
        return;
    }
    BulkHeader h;
    if (!decode_header(transfer, h)) {
        out += "bulk-IN without a valid header";
        data(out, transfer);
        return;
    }
    const std::span<const std::uint8_t> rest = transfer.subspan(kHeaderSize);
    const std::size_t shown = rest.size() < h.transfer_size ? rest.size() : h.transfer_size;
    if (h.msg_id == DEV_DEP_MSG_IN) {
        add(out, "bulk-IN DEV_DEP_MSG_IN bTag=%u TransferSize=%u EOM=%u", h.tag, h.transfer_size,
            h.attributes & kAttrEom);
        if ((h.attributes & kAttrTermCharEnded) != 0)
            out += " TermChar-ended";
    } else {
        add(out, "bulk-IN MsgID=%u bTag=%u TransferSize=%u", h.msg_id, h.tag, h.transfer_size);
    }
    data(out, rest.first(shown));
    reply_left = h.transfer_size - shown;
}

void describe_control_in(std::string& out, std::uint8_t request_type, std::uint8_t request,
                         std::uint16_t value, std::uint16_t index,
                         std::span<const std::uint8_t> answer) {
    out += "control ";
    if (const char* name = request_name(request))
        out += name;
    else
        add(out, "request %u", request);
    add(out, " bmRequestType=0x%02X wValue=0x%04X wIndex=0x%04X", request_type, value, index);
    if (answer.empty()) {
        out += " -> no answer";
        return;
    }
    out += " -> ";
    out += status_name(answer[0]);
    if (request == USB488_READ_STATUS_BYTE && answer.size() >= kReadStatusByteLength)
        add(out, " bTag=%u STB=0x%02X", answer[1], answer[2]);
    else if (answer.size() > 1)
        data(out, answer.subspan(1));
}

void describe_notification(std::string& out, std::span<const std::uint8_t> packet) {
    if (packet.size() != kNotificationSize) {
        out += "interrupt-IN packet of unexpected size";
        data(out, packet);
        return;
    }
    if (packet[0] == kNotifyServiceRequest)
        add(out, "interrupt-IN service request STB=0x%02X", packet[1]);
    else if ((packet[0] & 0x80) != 0)
        add(out, "interrupt-IN READ_STATUS_BYTE answer bTag=%u STB=0x%02X", packet[0] & 0x7F,
            packet[1]);
    else
        add(out, "interrupt-IN vendor notification 0x%02X 0x%02X", packet[0], packet[1]);
}

}  // namespace sgvisa::usbtmc
