// VXI-11 (TCPIP::host[::device][::INSTR]): a link to a device on the core
// channel, whose every operation is one ONC RPC call and its reply.
//
// - A write is a train of device_write calls of at most the link's
//   maxRecvSize bytes, END on the last piece only.
// - A read is a train of device_read calls with one deadline for the whole
//   read: each asks for what is left of the count (at most a chunk), with
//   the I/O time left, and the train ends at END, at the termination
//   character (asked of the device when the read enables it, and looked for
//   in what came, as some devices ignore the flag), or at the count. END is
//   taken from every reply's reason, also one that filled the request
//   exactly. A device that sends more than asked has the rest kept for the
//   next read.
// - Every call waits for its reply longer than the device may take: the
//   I/O timeout plus the lock timeout it was given, plus a margin, so that
//   a slow device is a VISA timeout (its error 15), never a lost link.
// - Replies are matched by xid (rpc_client.h): the late reply of a call
//   given up on is read and dropped, never handed to the next call. So
//   after a timed-out query the next query gets its own answer.
// - cancel(): the waiting call sends device_abort on the abort channel
//   (connected at the first need), which makes the device end the core call
//   in progress with error 23; the call then ends with VI_ERROR_ABORT.
// - Locks: lock_device() is device_lock with waitlock and the VISA timeout
//   as lock_timeout. Other calls carry neither (some devices refuse the
//   waitlock flag on writes): on a device another link keeps locked they
//   fail at once with VI_ERROR_RSRC_LOCKED.
// - Service requests come on the interrupt channel (srq_server.h), made at
//   the first listener (create_intr_chan, device_enable_srq) and ended with
//   the last. device_intr_srq carries no status byte: the listener gets
//   0x40 (RQS), and a program reads the byte itself with viReadSTB.
//
// Threads: one operation at a time, as the Transport promises; listening
// for service requests may come from another thread and waits for the core
// channel (bounded). cancel() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "cancel_signal.h"
#include "proto/vxi11.h"
#include "rpc_client.h"
#include "socket_transport.h"
#include "srq_server.h"
#include "transport/transport.h"

namespace sgvisa::lan {

namespace vxi = sgproto::vxi11;

// What create_link gave.
struct Vxi11Link {
    std::int32_t lid = 0;
    std::uint16_t abort_port = 0;
    std::uint32_t max_recv_size = 0;
};

class Vxi11Transport : public Transport {
  public:
    // The most a device_read asks for at once.
    static constexpr std::uint32_t kReadChunk = 1u << 20;
    // `reply_margin`: how much longer than the device's own timeouts a call
    // waits for its reply.
    Vxi11Transport(std::unique_ptr<RpcClient> core, const Vxi11Link& link, LanFacts facts,
                   std::chrono::milliseconds reply_margin);
    ~Vxi11Transport() override;

    // Each process has a link of its own; the device keeps the locks.
    bool takes_turns_between_processes() const override { return false; }
    ViStatus read_status_byte(Deadline deadline, std::uint8_t& status) override;
    ViStatus assert_trigger(Deadline deadline) override;
    ViStatus control_remote(ViUInt16 mode, Deadline deadline) override;
    ViStatus listen_for_service_requests(std::function<void(std::uint8_t)> listener) override;
    void cancel() override { cancel_.cancel(); }
    void resume() override { cancel_.resume(); }
    bool lost() const override { return core_->lost(); }
    const InterfaceFacts& facts() const override { return facts_; }

    // Exclusive only: a shared key is VI_ERROR_NSUP_OPER.
    ViStatus lock_device(Deadline deadline, const std::string& shared_key = {}) override;
    ViStatus unlock_device(Deadline deadline) override;
    // VI_ATTR_TCPIP_KEEPALIVE (a SOCKET attribute in the standard; on the
    // core channel it finds a dropped instrument just as well).
    ViStatus set_interface_attribute(ViAttr attr, ViAttrState value) override;
    ViStatus get_interface_attribute(ViAttr attr, ViAttrState& value) const override;
    std::uint32_t max_recv_size() const { return link_.max_recv_size; }
    // Replies dropped because their call had been given up on.
    std::uint64_t stale_replies() const { return core_->stale_replies(); }

  protected:
    ViStatus send(std::span<const std::uint8_t> data, bool end, Deadline deadline) override;
    ViStatus receive(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                     ReadResult& result) override;
    ViStatus clear_device(Deadline deadline) override;

  private:
    // One core call: `io_ms` and `lock_ms` are what the device was told it
    // may take; the reply is awaited that long plus the margin (for ever
    // when `deadline` is). A cancel aborts the call (device_abort), unless
    // it is a call made outside the operation turn (listening for service
    // requests): the cancel, and the flag it leaves until the next turn
    // resumes, belong to the turn's operation, not to it.
    enum class Abortable { yes, no };
    template <class Args, class Results>
    ViStatus core_call(std::uint32_t proc, const Args& args, Deadline deadline, std::uint32_t io_ms,
                       std::uint32_t lock_ms, Results& out, Abortable abortable = Abortable::yes);
    ViStatus generic_call(std::uint32_t proc, Deadline deadline, vxi::DeviceErrorResp& out);
    // After a cancel: device_abort, then the aborted call's reply (bounded).
    ViStatus abort_pending();
    ViStatus stop_service_requests(std::chrono::milliseconds within);
    Deadline reply_deadline(Deadline deadline, std::uint32_t io_ms, std::uint32_t lock_ms) const;

    std::unique_ptr<RpcClient> core_;
    std::unique_ptr<RpcClient> abort_;  // made at the first cancel
    Vxi11Link link_;
    InterfaceFacts facts_;
    std::chrono::milliseconds reply_margin_;
    CancelSignal cancel_;
    std::timed_mutex core_mutex_;  // one call at a time on the core channel
    std::unique_ptr<SrqServer> srq_;
    std::vector<std::uint8_t> excess_;  // a reply's bytes past what the read asked for
    std::size_t excess_at_ = 0;
    bool excess_end_ = false;
    std::atomic<bool> keepalive_{false};  // set from any thread
};

}  // namespace sgvisa::lan
