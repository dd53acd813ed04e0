#include "reply_transfer.h"

#include <algorithm>

#include "proto/usbtmc.h"

namespace sgsim {

namespace tmc = sgproto::usbtmc;

namespace {

// Header, `carried` data bytes and padding, with TransferSize `counted`.
std::vector<std::uint8_t> encode(std::uint8_t tag, std::string_view carried, std::uint32_t counted,
                                 std::uint8_t attributes) {
    tmc::BulkHeader h;
    h.msg_id = tmc::DEV_DEP_MSG_IN;
    h.tag = tag;
    h.transfer_size = counted;
    h.attributes = attributes;
    std::vector<std::uint8_t> out(
        tmc::kHeaderSize + carried.size() + tmc::padding_for(carried.size()), 0);
    tmc::encode_header(h, std::span<std::uint8_t, tmc::kHeaderSize>(out.data(), tmc::kHeaderSize));
    std::copy(carried.begin(), carried.end(), out.begin() + tmc::kHeaderSize);
    return out;
}

}  // namespace

ReplyTransfer cut_reply_transfer(std::string_view rest, const InRequest& request, std::uint8_t tag,
                                 std::size_t max, const DeviceQuirks& quirks) {
    std::size_t n = std::min<std::size_t>(rest.size(), request.size);
    if (quirks.split > 0)
        n = std::min(n, quirks.split);
    if (quirks.eom_always > 0)
        n = std::min(n, quirks.eom_always);
    bool term_ended = false;
    if (request.term_enabled && !quirks.ignore_termchar) {
        const std::size_t hit =
            std::string_view(rest.data(), n).find(static_cast<char>(request.term));
        if (hit != std::string_view::npos) {
            n = hit + 1;
            term_ended = true;
        }
    }
    // The whole transfer, padding included, must fit the host's buffer.
    while (n > 0 && tmc::kHeaderSize + n + tmc::padding_for(n) > max) {
        n--;
        term_ended = false;
    }

    ReplyTransfer t;
    t.taken = n;
    t.last = n == rest.size();
    const bool eom = !quirks.eom_never && (t.last || quirks.eom_always > 0);
    const std::size_t counted = quirks.size_skew && t.last && n > 0 ? n - 1 : n;
    const auto attributes = static_cast<std::uint8_t>((eom ? tmc::kAttrEom : 0) |
                                                      (term_ended ? tmc::kAttrTermCharEnded : 0));
    t.bytes = encode(tag, {rest.data(), n}, static_cast<std::uint32_t>(counted), attributes);
    if (t.bytes.size() > max)
        t.bytes.resize(max);  // only for a host buffer smaller than a header
    return t;
}

std::vector<std::uint8_t> whole_reply_transfer(std::uint8_t tag, std::string_view data) {
    return encode(tag, data, static_cast<std::uint32_t>(data.size()), tmc::kAttrEom);
}

std::vector<std::uint8_t> empty_reply_transfer(std::uint8_t tag) {
    return encode(tag, {}, 0, 0);
}

}  // namespace sgsim
