// What one operation waits on, and how another thread ends it. The thread
// that runs the operation blocks in wait(); whatever it waits for (a lock
// file's change, its turn on the connection) calls wake(), and cancel() from
// any thread ends the operation: every wait of it returns at once from then
// on, and the operation gives up with VI_ERROR_ABORT. Thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "transport/deadline.h"

namespace sgvisa {

class CancelToken {
  public:
    CancelToken() = default;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // For good: the operation gives up.
    void cancel();
    bool cancelled() const { return cancelled_.load(); }

    // Ends the current wait, or the next one if none is in progress.
    void wake();
    // Blocks until a wake() since the last wait, a cancel() or `deadline`:
    // false when the deadline ended it.
    bool wait(Deadline deadline);

    // For a wait that blocks in poll() instead: while `eventfd` is attached,
    // wake() and cancel() also make it readable. detach() forgets it, and a
    // wake() that came meanwhile.
    void attach(int eventfd);
    void detach();

  private:
    // Caller holds mutex_.
    void signal_attached();

    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    int attached_ = -1;
    std::atomic<bool> cancelled_{false};
};

}  // namespace sgvisa
