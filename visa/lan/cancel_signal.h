// Transport::cancel() for the LAN transports: an eventfd that every wait of
// the transport polls beside its socket, readable from cancel() until
// resume(), and the flag that makes later calls give up at once.
// cancel() is safe from any thread; resume() from the operation's.
#pragma once

#include <atomic>

namespace sgvisa::lan {

class CancelSignal {
  public:
    CancelSignal();
    ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    void cancel();
    void resume();
    bool cancelled() const { return cancelled_.load(); }
    // For poll(); -1 when the system gave no eventfd (then waits end by
    // their deadline only).
    int fd() const { return fd_; }

  private:
    int fd_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace sgvisa::lan
