#include "usbtmc_reply.h"

#include <algorithm>
#include <array>

#include "proto/usbtmc.h"
#include "usbtmc_recovery.h"

namespace sgvisa::usbtmc {

using namespace sgproto::usbtmc;
namespace {

std::uint64_t round_up(std::uint64_t n, std::uint64_t multiple) {
    return (n + multiple - 1) / multiple * multiple;
}

std::size_t packet_size(const UsbLink& link) {
    return std::max<std::size_t>(link.max_packet_size(), 1);
}

// Zero-length packets tolerated in a row before the device is deemed broken.
constexpr int kMaxEmptyTransfers = 1000;

// Where the reading of the bulk-IN stream stands.
enum class Phase {
    header,   // a transfer's header is due (or being pieced together)
    answer,   // the rest of the answer's transfer
    foreign,  // the rest of a transfer that answers another request: dropped
};

// Whether `prefix` (at most a header) may be the beginning of a
// DEV_DEP_MSG_IN header: MsgID, bTag and its inverse, a zero byte (USBTMC
// 1.0, 3.3, Table 8, bytes 0 to 3).
bool may_begin_header(std::span<const std::uint8_t> prefix) {
    return (prefix.size() < 1 || prefix[0] == DEV_DEP_MSG_IN) &&
           (prefix.size() < 3 || prefix[2] == static_cast<std::uint8_t>(~prefix[1])) &&
           (prefix.size() < 4 || prefix[3] == 0);
}

}  // namespace

std::size_t first_transfer_size(const UsbLink& link) {
    return static_cast<std::size_t>(round_up(kHeaderSize, packet_size(link)));
}

std::size_t scratch_size(const UsbLink& link, std::uint32_t requested) {
    return static_cast<std::size_t>(round_up(
        kHeaderSize + std::uint64_t{requested} + padding_for(requested), packet_size(link)));
}

ViStatus receive_dev_dep_msg_in(UsbLink& link, const ReplyRequest& request,
                                std::span<std::uint8_t> buf, std::span<std::uint8_t> scratch,
                                Deadline deadline, InStream& stream, ReplyReceived& reply) {
    reply = ReplyReceived{};
    const std::uint32_t requested =
        static_cast<std::uint32_t>(std::min<std::size_t>(request.requested, buf.size()));
    const std::size_t packet = packet_size(link);

    // Whether a transfer tagged `tag` is the answer (or continues it).
    const auto answers = [&](std::uint8_t tag) {
        if (tag == request.tag)
            return true;
        const auto& c = stream.continuation;
        return c && (tag == c->request_tag || tag == c->carried_tag);
    };

    Phase phase = Phase::header;
    std::array<std::uint8_t, kHeaderSize> head{};
    std::size_t head_have = 0;
    // The header being pieced together began where the device's transfer
    // before may not have ended: if it is no header, it is skipped.
    bool lenient = false;
    BulkHeader h;
    std::size_t data_have = 0;
    // Data and padding of the current transfer still to come (a foreign
    // TransferSize may be anything up to 4 GiB), and of them the padding.
    std::uint64_t left = 0;
    std::uint64_t padding = 0;
    int empty_in_a_row = 0;

    for (;;) {
        if (reply.sent && Clock::now() >= deadline)
            return VI_ERROR_TMO;
        // A header is read one packet at a time, so that any transfer ends
        // the read; a transfer's rest is asked for exactly, so that it ends
        // the read whether or not a zero-length packet follows. (A transfer
        // ends with a short or zero-length packet: USBTMC 1.0, 3.3, rule 10.)
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(
            scratch.size(),
            round_up(phase == Phase::header ? kHeaderSize - head_have : left, packet)));
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
        const bool after_end = !stream.may_continue;
        stream.may_continue = got == want;
        if (got == 0) {  // a zero-length packet: ends a transfer, carries nothing
            if (++empty_in_a_row > kMaxEmptyTransfers)
                return VI_ERROR_IO;
            continue;
        }
        empty_in_a_row = 0;

        std::span<const std::uint8_t> bytes(scratch.data(), got);
        if (phase == Phase::header) {
            if (head_have == 0)
                lenient = !after_end;
            const std::size_t n = std::min(kHeaderSize - head_have, bytes.size());
            std::copy_n(bytes.begin(), n, head.begin() + static_cast<std::ptrdiff_t>(head_have));
            head_have += n;
            bytes = bytes.subspan(n);
            if (lenient && !may_begin_header(std::span(head.data(), head_have))) {
                head_have = 0;  // the tail of an earlier transfer: the rest of it is dropped
                continue;
            }
            if (head_have < kHeaderSize)
                continue;
            head_have = 0;
            BulkHeader candidate;
            const bool is_in = decode_header(head, candidate) && candidate.msg_id == DEV_DEP_MSG_IN;
            if (!is_in && lenient)
                continue;  // the tail of an earlier transfer: the rest of it is dropped
            if (!is_in || (answers(candidate.tag) && candidate.transfer_size > requested)) {
                // Never taken as data; the rest of its bulk-IN transfer goes.
                if (stream.may_continue) {
                    const ViStatus drained =
                        drain_bulk_in(link, std::min(deadline, Clock::now() + kDrainWindow));
                    if (drained == VI_ERROR_CONN_LOST)
                        return drained;
                    stream.may_continue = drained != VI_SUCCESS;
                }
                return VI_ERROR_IO;
            }
            padding = padding_for(candidate.transfer_size);
            left = std::uint64_t{candidate.transfer_size} + padding;
            if (answers(candidate.tag)) {
                h = candidate;
                phase = Phase::answer;
            } else if (left > 0) {
                phase = Phase::foreign;
            }
        }

        // The current transfer's bytes: data up to TransferSize, then its
        // padding. What the bulk-IN transfer holds past them (padding to the
        // packet's end, bytes past TransferSize) is dropped with them.
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
        if (phase == Phase::answer) {
            const std::size_t data = std::min<std::size_t>(h.transfer_size - data_have, n);
            std::copy_n(bytes.begin(), data, buf.begin() + static_cast<std::ptrdiff_t>(data_have));
            data_have += data;
            if (data_have == h.transfer_size) {
                reply.count = data_have;
                reply.transfer_size = h.transfer_size;
                reply.tag = h.tag;
                // EOM counts only once TransferSize data bytes came (USBTMC
                // 1.0, 3.3.1.1, rule 2).
                reply.end = (h.attributes & kAttrEom) != 0;
                reply.term_char = (h.attributes & kAttrTermCharEnded) != 0;
                return VI_SUCCESS;
            }
        }
        left -= n;
        // Alignment bytes are the device's choice (USBTMC 1.0, 3.3, rule
        // 10): a short packet once the data is in ends the transfer, and
        // the next transfer's header is not taken for its padding.
        const bool short_packet = got < want;
        if (phase == Phase::foreign && (left == 0 || (short_packet && left <= padding)))
            phase = Phase::header;
    }
}

MessageEnd::Verdict MessageEnd::judge(const ReplyReceived& transfer, std::uint32_t requested,
                                      std::uint8_t last, const ReadStop& stop) {
    if (transfer.end) {
        eom_seen_ = true;
        learned_ = false;  // it does set EOM after all
        return Verdict::end;
    }
    const bool at_linefeed = transfer.count > 0 && last == '\n';
    if (transfer.term_char || !at_linefeed || transfer.transfer_size >= requested)
        return Verdict::more;
    if (eom_never())
        return Verdict::end;
    // A device that has set EOM before splits this reply; and a read that
    // stops at a linefeed ends here whatever the device meant.
    if (eom_seen_ || (stop.term_char_enabled && stop.term_char == '\n'))
        return Verdict::more;
    return Verdict::ask;
}

}  // namespace sgvisa::usbtmc
