#include "rpc_client.h"

#include <algorithm>
#include <random>

#include "trace/trace_reason.h"

namespace sgvisa::lan {

namespace {

// Bytes asked of the socket at a time for headers and short records.
constexpr std::size_t kReceiveChunk = 64 * 1024;
// A fragment with this much still to come is received straight into the
// record, in one recv as large as the record so far (at least kDirectStep):
// a block read's megabyte is then a few large recv()s and no copy, and the
// record's memory grows at most to twice what arrived.
constexpr std::size_t kDirectAtLeast = 16 * 1024;
constexpr std::size_t kDirectStep = 256 * 1024;

std::uint32_t random_xid() {
    std::random_device rd;
    return rd();
}

}  // namespace

RpcClient::RpcClient(std::unique_ptr<TcpConnection> connection, std::uint32_t prog,
                     std::uint32_t vers)
    : RpcClient(std::move(connection), prog, vers, random_xid()) {}

RpcClient::RpcClient(std::unique_ptr<TcpConnection> connection, std::uint32_t prog,
                     std::uint32_t vers, std::uint32_t first_xid)
    : connection_(std::move(connection)), prog_(prog), vers_(vers), next_xid_(first_xid) {}

ViStatus RpcClient::lose() {
    lost_ = true;
    has_pending_ = false;
    return VI_ERROR_CONN_LOST;
}

ViStatus RpcClient::finish_send(std::span<const std::uint8_t> rest) {
    constexpr auto kFinishBound = std::chrono::milliseconds(1000);
    return connection_->send(rest, Clock::now() + kFinishBound, -1);
}

ViStatus RpcClient::next_record(Deadline deadline, int cancel_fd) {
    if (record_taken_) {
        reader_.next();
        record_taken_ = false;
    }
    for (;;) {
        if (rx_start_ < rx_end_) {
            std::size_t taken = 0;
            const auto status =
                reader_.feed(rpc::ByteView(rx_.data() + rx_start_, rx_end_ - rx_start_), taken);
            rx_start_ += taken;
            if (status == rpc::RecordReader::Status::record) {
                record_taken_ = true;
                return VI_SUCCESS;
            }
            if (status == rpc::RecordReader::Status::too_large) {
                trace::note_reason([] {
                    return std::string(
                        "the instrument's RPC reply was larger than any it may send");
                });
                return lose();
            }
        }
        rx_start_ = rx_end_ = 0;
        std::size_t got = 0;
        if (reader_.wanted() >= kDirectAtLeast) {
            const std::span<std::uint8_t> room =
                reader_.fragment_room(std::max(kDirectStep, reader_.partial().size()));
            if (!room.empty()) {
                const ViStatus st = connection_->receive_some(room, deadline, cancel_fd, got);
                if (st == VI_ERROR_CONN_LOST)
                    return lose();
                if (st != VI_SUCCESS)
                    return st;
                if (reader_.fill(got) == rpc::RecordReader::Status::record) {
                    record_taken_ = true;
                    return VI_SUCCESS;
                }
                continue;
            }
        }
        rx_.resize(kReceiveChunk);  // once
        const ViStatus st = connection_->receive_some(rx_, deadline, cancel_fd, got);
        rx_end_ = got;
        if (st == VI_ERROR_CONN_LOST)
            return lose();
        if (st != VI_SUCCESS)
            return st;
    }
}

ViStatus RpcClient::await(Deadline reply_deadline, int cancel_fd, rpc::ByteView& results) {
    results = {};
    if (lost())
        return VI_ERROR_CONN_LOST;
    if (!has_pending_)
        return VI_ERROR_IO;
    for (;;) {
        const ViStatus st = next_record(reply_deadline, cancel_fd);
        if (st != VI_SUCCESS)
            return st;
        const rpc::ByteView record = reader_.record();
        std::uint32_t xid = 0;
        if (!rpc::peek_xid(record, xid))
            return lose();
        if (xid != pending_xid_) {
            ++stale_;  // a reply to a call given up on: nobody waits for it now
            trace_rpc_dropped(xid);
            continue;
        }
        has_pending_ = false;
        rpc::XdrReader r(record);
        rpc::ReplyHeader h;
        if (!rpc::decode(r, h))
            return lose();
        if (h.stat != rpc::ReplyStat::accepted || h.accept != rpc::AcceptStat::success) {
            trace::note_reason([&] {
                return std::string("the instrument refused the RPC call: ") +
                       (h.stat == rpc::ReplyStat::denied ? rpc::name(h.reject)
                                                         : rpc::name(h.accept));
            });
            return VI_ERROR_IO;
        }
        results = r.rest();
        trace_rpc_reply(prog_, pending_proc_, xid, results);
        return VI_SUCCESS;
    }
}

}  // namespace sgvisa::lan
