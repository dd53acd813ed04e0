#include "cancel_token.h"

namespace sgvisa {

void CancelToken::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

void CancelToken::wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
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
