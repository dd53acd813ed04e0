// An ONC RPC client on one TCP connection: each call goes out as one record
// in one write, and its reply is the one that carries its xid. A reply
// whose xid is not the call's (the late reply of a call given up on, after
// its deadline or a cancel) is read whole and dropped, so that no call is
// ever handed another's reply; records are bounded (rpc_record.h), so a
// giant fragment length loses the connection instead of growing memory.
//
// One thread calls at a time (the owner serialises); the cancel descriptor
// is the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "proto/oncrpc.h"
#include "proto/rpc_record.h"
#include "rpc_text.h"
#include "tcp_connection.h"
#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::lan {

namespace rpc = sgproto::oncrpc;

class RpcClient {
  public:
    // The largest reply record taken: a device_read's data (at most the
    // read chunk the transport asks for, or what a device that ignores the
    // request sends up to this) and the headers.
    static constexpr std::size_t kMaxRecord = 4u << 20;

    // Xids start at `first_xid`, by default at a random point, so that the
    // replies to an earlier client of the same server do not match ours.
    RpcClient(std::unique_ptr<TcpConnection> connection, std::uint32_t prog, std::uint32_t vers);
    RpcClient(std::unique_ptr<TcpConnection> connection, std::uint32_t prog, std::uint32_t vers,
              std::uint32_t first_xid);

    // Calls `proc` with `args` and waits for its reply until `reply_deadline`.
    // On VI_SUCCESS `results` views the reply's results (valid until the
    // next call). VI_ERROR_TMO and VI_ERROR_ABORT (`cancel_fd` readable)
    // leave the call pending: await() may go on waiting for it, and any
    // later call drops its reply. VI_ERROR_CONN_LOST for a dead peer, and
    // for a reply that does not decode or is too large (the stream can no
    // longer be trusted); VI_ERROR_IO for a reply that refuses the call.
    template <class Args>
    ViStatus call(std::uint32_t proc, const Args& args, Deadline reply_deadline, int cancel_fd,
                  rpc::ByteView& results) {
        std::vector<std::uint8_t> record;
        const std::uint32_t xid = next_xid_++;
        if (!rpc::call_record(record, rpc::make_call(xid, prog_, vers_, proc), args))
            return VI_ERROR_INV_PARAMETER;
        pending_xid_ = xid;
        pending_proc_ = proc;
        has_pending_ = true;
        trace_rpc_call(record);
        std::size_t sent = 0;
        ViStatus st = connection_->send(record, reply_deadline, cancel_fd, &sent);
        if (st == VI_ERROR_ABORT) {
            // Cancelled while the device was slow to take it: the rest goes
            // out (briefly bounded) so that the stream stays framed, and the
            // call is aborted as one in progress.
            st = finish_send(std::span<const std::uint8_t>(record).subspan(sent));
            if (st == VI_SUCCESS)
                return VI_ERROR_ABORT;
        }
        if (st == VI_ERROR_TMO) {
            // Part of the record may be out: the stream is no longer framed.
            lost_ = true;
            return VI_ERROR_CONN_LOST;
        }
        if (st != VI_SUCCESS)
            return st;
        return await(reply_deadline, cancel_fd, results);
    }

    // Goes on waiting for the pending call's reply.
    ViStatus await(Deadline reply_deadline, int cancel_fd, rpc::ByteView& results);

    bool lost() const { return lost_ || connection_->lost(); }
    TcpConnection& connection() { return *connection_; }
    // Xids of replies dropped because no call waited for them.
    std::uint64_t stale_replies() const { return stale_; }

  private:
    ViStatus lose();
    ViStatus finish_send(std::span<const std::uint8_t> rest);
    // Feeds received bytes to the record reader until a record is whole.
    ViStatus next_record(Deadline deadline, int cancel_fd);

    std::unique_ptr<TcpConnection> connection_;
    std::uint32_t prog_;
    std::uint32_t vers_;
    std::uint32_t next_xid_;
    std::uint32_t pending_xid_ = 0;
    std::uint32_t pending_proc_ = 0;
    bool has_pending_ = false;
    bool lost_ = false;
    std::uint64_t stale_ = 0;
    rpc::RecordReader reader_{kMaxRecord};
    bool record_taken_ = false;     // reader_ holds a record handed out last time
    std::vector<std::uint8_t> rx_;  // [rx_start_, rx_end_) received, not yet fed
    std::size_t rx_start_ = 0;
    std::size_t rx_end_ = 0;
};

}  // namespace sgvisa::lan
