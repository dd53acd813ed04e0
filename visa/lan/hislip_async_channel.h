// A HiSLIP session's asynchronous channel once the session is open: a
// reader thread takes every message the server sends on it, so that
//
// - a service request (AsyncServiceRequest) goes to the listener at once,
//   whenever it comes: also while a status query waits for its answer,
//   which it is never taken for;
// - AsyncInterrupted is dropped: the synchronous side drops the replies it
//   announces by their MessageIDs (hislip_transport.h);
// - a FatalError ends the session with the server's words;
// - every other message is the answer a transaction waits for, matched by
//   its type. A late answer to a transaction that gave up is dropped when
//   the next transaction starts, never taken for its answer.
//
// Transactions (one request, one answer) are one at a time; each is bounded
// by its deadline and ended early by wake() (a cancel).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cancel_signal.h"
#include "hislip_channel.h"

namespace sgvisa::lan {

class HislipAsyncChannel {
  public:
    // The largest payload taken on this channel: every answer here is a
    // header, an 8-byte size or an error's words.
    static constexpr std::size_t kMaxPayload = 64 * 1024;

    struct Message {
        hs::Header header;
        std::vector<std::uint8_t> payload;
    };

    // Starts the reader on `channel`, initialized already.
    explicit HislipAsyncChannel(std::unique_ptr<HislipChannel> channel);
    ~HislipAsyncChannel();
    HislipAsyncChannel(const HislipAsyncChannel&) = delete;
    HislipAsyncChannel& operator=(const HislipAsyncChannel&) = delete;

    // Sends the request and waits for a message of type `answer` (or an
    // Error, which is the answer too: the caller tells). VI_ERROR_TMO at the
    // deadline, VI_ERROR_ABORT once `cancel` is cancelled and wake() called,
    // VI_ERROR_CONN_LOST when the channel went.
    ViStatus transact(hs::MessageType type, std::uint8_t control, std::uint32_t parameter,
                      std::span<const std::uint8_t> payload, hs::MessageType answer,
                      Deadline deadline, const CancelSignal* cancel, Message& out);
    // Ends the waits of transactions whose `cancel` is cancelled.
    void wake();

    // The listener of service requests (status byte), or none. Once this
    // returns the previous listener is not running, unless called from it.
    void set_listener(std::function<void(std::uint8_t)> listener);
    bool lost() const { return lost_.load(); }
    // The server's FatalError, in words, once it came.
    std::string fatal_words() const;

  private:
    void run();
    void dispatch(Message&& m);

    std::unique_ptr<HislipChannel> channel_;
    int stop_fd_;
    std::thread reader_;
    mutable std::mutex mutex_;  // what follows
    std::condition_variable changed_;
    std::vector<Message> answers_;  // since the current transaction began
    std::string fatal_;
    std::atomic<bool> lost_{false};
    std::timed_mutex transaction_;  // one transaction at a time
    std::mutex listener_mutex_;     // held while the listener runs
    std::function<void(std::uint8_t)> listener_;
};

}  // namespace sgvisa::lan
