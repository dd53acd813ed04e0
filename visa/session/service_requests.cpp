#include "session/service_requests.h"

#include <algorithm>

namespace sgvisa::session {

ViStatus ServiceRequestFanOut::subscribe(const void* owner,
                                         std::function<void(std::uint8_t)> listener) {
    std::lock_guard order(transport_mutex_);
    {
        // Before the transport listens: a request the device kept comes at once.
        std::lock_guard lock(mutex_);
        listeners_.emplace_back(owner, std::move(listener));
    }
    if (listening_)
        return VI_SUCCESS;
    const ViStatus st =
        transport_.listen_for_service_requests([this](std::uint8_t stb) { dispatch(stb); });
    if (st != VI_SUCCESS) {
        std::lock_guard lock(mutex_);
        std::erase_if(listeners_, [owner](const auto& l) { return l.first == owner; });
        return st;
    }
    listening_ = true;
    return VI_SUCCESS;
}

void ServiceRequestFanOut::unsubscribe(const void* owner) {
    {
        std::unique_lock lock(mutex_);
        std::erase_if(listeners_, [owner](const auto& l) { return l.first == owner; });
        call_ended_.wait(
            lock, [&] { return calling_ != owner || caller_ == std::this_thread::get_id(); });
    }
    // Not under mutex_: the transport's thread may be in a call that needs it.
    std::lock_guard order(transport_mutex_);
    {
        std::lock_guard lock(mutex_);
        if (!listeners_.empty() || !listening_)
            return;
    }
    transport_.listen_for_service_requests(nullptr);
    listening_ = false;
}

void ServiceRequestFanOut::dispatch(std::uint8_t status_byte) {
    std::unique_lock lock(mutex_);
    std::vector<const void*> owners;
    for (const auto& l : listeners_)
        owners.push_back(l.first);
    for (const void* owner : owners) {
        const auto it = std::find_if(listeners_.begin(), listeners_.end(),
                                     [owner](const auto& l) { return l.first == owner; });
        if (it == listeners_.end())
            continue;  // unsubscribed meanwhile
        const auto listener = it->second;
        calling_ = owner;
        caller_ = std::this_thread::get_id();
        lock.unlock();
        listener(status_byte);
        lock.lock();
        calling_ = nullptr;
        call_ended_.notify_all();
    }
}

}  // namespace sgvisa::session
