// The interrupt-IN endpoint of a USB488 interface, read by a thread of its
// own only while somebody needs it: while service requests are listened for,
// and while a READ_STATUS_BYTE waits for its notification. The thread blocks
// in the read (no polling, no CPU while idle) and is stopped by cancelling
// it. Packets nobody waits for (stale tags, unknown notifications, short
// packets) are dropped; a flood is bounded by what the listener keeps.
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "usb_link.h"

namespace sgvisa::usbtmc {

class InterruptChannel {
  public:
    explicit InterruptChannel(std::unique_ptr<InterruptSource> source);
    ~InterruptChannel();
    InterruptChannel(const InterruptChannel&) = delete;
    InterruptChannel& operator=(const InterruptChannel&) = delete;

    // Called (on the channel's thread) with the status byte of each service
    // request; an empty function stops listening.
    void set_listener(std::function<void(std::uint8_t status_byte)> listener);

    // Before sending READ_STATUS_BYTE tagged `tag`: the notification that
    // answers it is kept from now on.
    void expect(std::uint8_t tag);
    // Then waits for it until `deadline` (VI_ERROR_TMO); VI_ERROR_CONN_LOST
    // when the endpoint failed or the device went away (nothing more comes
    // then). Forgets the tag either way.
    ViStatus await(std::uint8_t tag, Deadline deadline, std::uint8_t& status_byte);

  private:
    void run();
    // Starts or stops the thread for the current needs; caller holds mutex_.
    void update_reader(std::unique_lock<std::mutex>& lock);
    bool needed() const { return listener_ || !expected_.empty(); }

    std::unique_ptr<InterruptSource> source_;
    std::mutex mutex_;
    std::condition_variable answered_;
    std::function<void(std::uint8_t)> listener_;
    std::map<std::uint8_t, int> expected_;  // tag -> status byte, -1 while awaited
    std::thread reader_;
    bool stop_ = false;
    bool lost_ = false;
};

}  // namespace sgvisa::usbtmc
