#include "hislip_text.h"

#include "trace/trace_sink.h"
#include "trace/trace_text.h"

namespace sgvisa::lan {

namespace hs = sgproto::hislip;

namespace {

// Whether the parameter is a MessageID (else a count, a timeout, a version).
bool carries_message_id(hs::MessageType t) {
    switch (t) {
        case hs::MessageType::data:
        case hs::MessageType::data_end:
        case hs::MessageType::trigger:
        case hs::MessageType::interrupted:
        case hs::MessageType::async_interrupted:
        case hs::MessageType::async_status_query:
        case hs::MessageType::async_remote_local_control:
            return true;
        default:
            return false;
    }
}

}  // namespace

void trace_hislip_message(const char* channel, bool sent, const hs::Header& h,
                          std::span<const std::uint8_t> payload) {
    trace::transfer_line([&](std::string& line) {
        line += "hislip ";
        line += channel;
        line += sent ? " send " : " recv ";
        line += hs::type_name(h.type);
        if (!hs::known_type(h.type)) {
            line += '(';
            trace::append_unsigned(line, h.type);
            line += ')';
        }
        line += " control=";
        trace::append_hex(line, h.control);
        line += carries_message_id(h.message_type()) ? " MessageID=" : " parameter=";
        trace::append_hex(line, h.parameter);
        line += " length=";
        trace::append_unsigned(line, h.length);
        if (!payload.empty()) {
            line += " payload=";
            trace::append_buffer(line, payload.data(), payload.size());
        }
    });
}

std::string hislip_error_words(const hs::Header& h, std::span<const std::uint8_t> payload) {
    const bool fatal = h.message_type() == hs::MessageType::fatal_error;
    std::string out = fatal ? "FatalError " : "Error ";
    out += std::to_string(h.control);
    out += " (";
    out += fatal ? hs::fatal_error_text(h.control) : hs::error_text(h.control);
    out += ")";
    if (!payload.empty()) {
        out += ": ";
        // The server's words, printable characters only.
        for (const std::uint8_t c : payload.first(std::min<std::size_t>(payload.size(), 200)))
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace sgvisa::lan
