#include "transport/cancel_token.h"

#include <unistd.h>

#include <cstdint>

namespace sgvisa {

void CancelToken::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
    signal_attached();
}

void CancelToken::wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
    signal_attached();
}

void CancelToken::attach(int eventfd) {
    std::lock_guard lock(mutex_);
    attached_ = eventfd;
    if (woken_ || cancelled_)
        signal_attached();
}

void CancelToken::detach() {
    std::lock_guard lock(mutex_);
    attached_ = -1;
    woken_ = false;
}

void CancelToken::signal_attached() {
    if (attached_ < 0)
        return;
    const std::uint64_t one = 1;
    (void)!::write(attached_, &one, sizeof one);
}

bool CancelToken::wait(Deadline deadline) {
    std::unique_lock lock(mutex_);
    const auto ready = [this] { return woken_ || cancelled_.load(); };
    bool ended = true;
    if (deadline == Deadline::max())
        changed_.wait(lock, ready);
    else
        ended = changed_.wait_until(lock, deadline, ready);
    woken_ = false;
    return ended;
}

}  // namespace sgvisa
