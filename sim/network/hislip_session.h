// What the two connections of one HiSLIP session share. The synchronous
// connection's thread opens the session at Initialize; the asynchronous
// connection's thread joins it at AsyncInitialize by its SessionID. Each
// thread reads its own connection; either may write to the asynchronous one
// (AsyncInterrupted comes from the synchronous side), under async_send.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "proto/hislip.h"
#include "secure/tls_channel.h"

namespace sgsim::network {

struct HislipSession {
    HislipSession();
    ~HislipSession();
    HislipSession(const HislipSession&) = delete;
    HislipSession& operator=(const HislipSession&) = delete;

    // Set once at Initialize.
    std::uint16_t id = 0;
    std::uint64_t connection = 0;  // the SharedInstrument connection
    std::int32_t lid = 0;
    // eventfds, written to wake the thread of each connection: the
    // synchronous one for a device clear or the session's end, the
    // asynchronous one for a service request or the session's end.
    int sync_wake = -1;
    int async_wake = -1;
    void wake(int fd);

    std::mutex mutex;  // guards what follows
    std::condition_variable changed;
    bool async_joined = false;
    bool ended = false;  // either connection is gone
    bool overlapped = false;
    // Between AsyncDeviceClear and DeviceClearComplete: synchronous input
    // is dropped.
    bool clearing = false;
    // The longest message this server may send the client, header
    // included (AsyncMaximumMessageSize); none until it says.
    std::uint64_t client_max = UINT64_MAX;
    // Synchronized mode: a reply went out whole, and no message since said
    // it was delivered (RMT-expected). It is MAV too.
    bool rmt_expected = false;
    // The MessageID of the last synchronous message handled, for a lock
    // release that must wait for it.
    std::uint32_t last_done = sgproto::hislip::kMessageIdBeforeFirst;
    // Overlapped mode: the MessageID of this server's next Data or DataEnd,
    // and whether one went out since the last clear (for MAV).
    std::uint32_t next_reply_id = sgproto::hislip::kFirstMessageId;
    bool replied = false;
    // TLS on both connections and the client authenticated: what a server
    // with TLS requires before any message.
    bool secured = false;

    std::mutex async_send;
    int async_fd = -1;  // under async_send; -1 until joined and once gone
    // Under async_send: the asynchronous connection's TLS, once started.
    std::unique_ptr<sgsecure::TlsChannel> async_tls;
};

class HislipSessions {
  public:
    // A new session with its SessionID; null when `one_client` and a
    // session is open.
    std::shared_ptr<HislipSession> open(bool one_client);
    // The open session `id` not yet joined, now joined; null if none.
    std::shared_ptr<HislipSession> join(std::uint16_t id);
    void close(std::uint16_t id);

  private:
    std::mutex mutex_;
    std::map<std::uint16_t, std::shared_ptr<HislipSession>> sessions_;
    std::uint16_t next_id_ = 1;
};

}  // namespace sgsim::network
