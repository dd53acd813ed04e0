#include "usbtmc_reply.h"

#include <algorithm>
#include <array>

#include "usbtmc.h"
#include "usbtmc_recovery.h"

namespace sgvisa::usbtmc {

using namespace sgproto::usbtmc;
namespace {

std::size_t round_up(std::size_t n, std::size_t multiple) {
    return (n + multiple - 1) / multiple * multiple;
}

// Header, data and alignment: the most a device sends for `data` bytes.
std::size_t aligned_transfer(std::size_t data) {
    return kHeaderSize + data + padding_for(data);
}

// Zero-length packets tolerated in a row before the device is deemed broken.
constexpr int kMaxEmptyTransfers = 1000;

bool header_is_answer(std::span<const std::uint8_t, kHeaderSize> bytes, std::uint8_t tag,
                      std::uint32_t requested, BulkHeader& h) {
    if (!decode_header(bytes, h))
        return false;  // bTag and its inverse disagree
    return h.msg_id == DEV_DEP_MSG_IN && h.tag == tag && h.transfer_size <= requested;
}

}  // namespace

std::size_t first_transfer_size(const UsbLink& link, std::uint32_t requested) {
    return round_up(aligned_transfer(requested), std::max<std::size_t>(link.max_packet_size(), 1));
}

ViStatus receive_dev_dep_msg_in(UsbLink& link, const ReplyRequest& request,
                                std::span<std::uint8_t> buf, std::span<std::uint8_t> scratch,
                                Deadline deadline, ReplyReceived& reply) {
    reply = ReplyReceived{};
    const std::uint32_t requested =
        static_cast<std::uint32_t>(std::min<std::size_t>(request.requested, buf.size()));
    const std::size_t packet = std::max<std::size_t>(link.max_packet_size(), 1);
    const std::size_t scratch_size = std::min(first_transfer_size(link, requested), scratch.size());

    std::array<std::uint8_t, kHeaderSize> head{};
    std::size_t head_have = 0;
    BulkHeader h;
    bool have_header = false;
    std::size_t data_have = 0;
    std::size_t received = 0;  // bytes of this transfer so far, header included
    std::size_t expected = aligned_transfer(requested);
    int empty_in_a_row = 0;

    for (;;) {
        if (reply.sent && Clock::now() >= deadline)
            return VI_ERROR_TMO;
        // Ask for whole packets covering what is still to come, so a transfer
        // that ends on a packet boundary completes without waiting for more.
        const std::size_t left = expected > received ? expected - received : 1;
        const std::size_t want = std::min(scratch_size, round_up(left, packet));
        const std::span<std::uint8_t> into(scratch.data(), want);
        std::size_t got = 0;
        ViStatus st;
        if (!reply.sent && request.posted) {
            st = link.collect_posted(into, got, deadline, reply.sent);
        } else if (!reply.sent) {
            st = link.bulk_out_in(request.bytes, into, got, deadline, reply.sent);
        } else {
            st = link.bulk_in(into, got, deadline);
        }
        if (st != VI_SUCCESS)
            return st;
        got = std::min(got, want);
        if (got == 0) {  // a zero-length packet: ends a transfer, carries nothing
            if (++empty_in_a_row > kMaxEmptyTransfers)
                return VI_ERROR_IO;
            continue;
        }
        empty_in_a_row = 0;

        std::size_t pos = 0;
        if (!have_header) {
            pos = std::min(kHeaderSize - head_have, got);
            std::copy_n(scratch.data(), pos, head.begin() + static_cast<std::ptrdiff_t>(head_have));
            head_have += pos;
            received += got;
            if (head_have < kHeaderSize)
                continue;
            if (!header_is_answer(head, request.tag, requested, h)) {
                // Not our answer: discard the rest of this transfer, if any.
                if (got == want) {
                    const ViStatus drained =
                        drain_bulk_in(link, std::min(deadline, Clock::now() + kDrainWindow));
                    if (drained == VI_ERROR_CONN_LOST)
                        return drained;
                }
                return VI_ERROR_IO;
            }
            have_header = true;
            expected = aligned_transfer(h.transfer_size);
        } else {
            received += got;
        }

        // Data bytes up to TransferSize; anything after them is alignment or
        // packet padding and is dropped.
        const std::size_t n = std::min<std::size_t>(h.transfer_size - data_have, got - pos);
        std::copy_n(scratch.data() + pos, n, buf.begin() + static_cast<std::ptrdiff_t>(data_have));
        data_have += n;
        if (data_have == h.transfer_size) {
            reply.count = data_have;
            reply.end = (h.attributes & kAttrEom) != 0;
            reply.term_char = (h.attributes & kAttrTermCharEnded) != 0;
            return VI_SUCCESS;
        }
    }
}

}  // namespace sgvisa::usbtmc
