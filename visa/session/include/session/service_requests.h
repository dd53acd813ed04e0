// One instrument's service requests, fanned out to the sessions of this
// process that listen for them (viEnableEvent of VI_EVENT_SERVICE_REQ): the
// transport listens while one session does, and each request's status byte
// goes to every listener in turn, on the transport's thread, under no lock
// of the connection. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "transport/transport.h"

namespace sgvisa::session {

class ServiceRequestFanOut {
  public:
    explicit ServiceRequestFanOut(Transport& transport) : transport_(transport) {}
    ServiceRequestFanOut(const ServiceRequestFanOut&) = delete;
    ServiceRequestFanOut& operator=(const ServiceRequestFanOut&) = delete;

    // `listener` is called with each status byte while `owner` is
    // subscribed; the first subscription makes the transport listen.
    // VI_ERROR_NSUP_OPER when the instrument cannot tell.
    ViStatus subscribe(const void* owner, std::function<void(std::uint8_t)> listener);
    // Once this returns, `owner`'s listener is not running and is not called
    // again, unless this is called from within that listener. The last one
    // makes the transport stop listening.
    void unsubscribe(const void* owner);

  private:
    // Hands a service request to each listener in turn.
    void dispatch(std::uint8_t status_byte);

    Transport& transport_;
    std::mutex mutex_;  // the listeners and their calls
    std::condition_variable call_ended_;
    std::vector<std::pair<const void*, std::function<void(std::uint8_t)>>> listeners_;
    const void* calling_ = nullptr;  // the owner whose listener is being called
    std::thread::id caller_;         // and the thread calling it
    // Orders the transport's listening with the subscriptions; the
    // listeners' calls never take it, so it is held while the transport
    // starts or stops.
    std::mutex transport_mutex_;
    bool listening_ = false;
};

}  // namespace sgvisa::session
