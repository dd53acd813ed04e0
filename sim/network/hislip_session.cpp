#include "hislip_session.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace sgsim::network {

HislipSession::HislipSession()
    : sync_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      async_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HislipSession::~HislipSession() {
    for (const int fd : {sync_wake, async_wake})
        if (fd >= 0)
            ::close(fd);
}

void HislipSession::wake(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

std::shared_ptr<HislipSession> HislipSessions::open(bool one_client) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (one_client && !sessions_.empty())
        return nullptr;
    // SessionIDs are 16 bits: skip those still open when they wrap.
    while (next_id_ == 0 || sessions_.count(next_id_) != 0)
        ++next_id_;
    auto session = std::make_shared<HislipSession>();
    session->id = next_id_++;
    sessions_[session->id] = session;
    return session;
}

std::shared_ptr<HislipSession> HislipSessions::join(std::uint16_t id) {
    const std::lock_guard<std::mutex> hold(mutex_);
    const auto it = sessions_.find(id);
    if (it == sessions_.end())
        return nullptr;
    const std::lock_guard<std::mutex> hold_session(it->second->mutex);
    if (it->second->async_joined || it->second->ended)
        return nullptr;
    it->second->async_joined = true;
    return it->second;
}

void HislipSessions::close(std::uint16_t id) {
    const std::lock_guard<std::mutex> hold(mutex_);
    sessions_.erase(id);
}

}  // namespace sgsim::network
