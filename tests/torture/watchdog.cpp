#include "watchdog.h"

#include <chrono>
#include <string>

#include "clock.h"

namespace torture {

void WatchedCall::enter(const char* name, const Bound& bound, std::int64_t now) {
    function.store(name);
    factor.store(bound.factor);
    timeout_ms.store(bound.timeout_ms);
    fixed_ms.store(bound.fixed_ms);
    start_ns.store(now);
}

Watchdog::Watchdog(Reporter& reporter, std::int64_t slack_ms)
    : reporter_(reporter), slack_ms_(slack_ms) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    stop_changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Watchdog::start() {
    thread_ = std::thread([this] { run(); });
}

void Watchdog::run() {
    std::unique_lock lock(mutex_);
    // A look every 100 ms: the bounds are hundreds of milliseconds and more,
    // and a hang has no event of its own to wait for.
    while (
        !stop_changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; })) {
        const std::int64_t now = now_ns();
        for (WatchedCall* call : calls_) {
            const std::int64_t start = call->start_ns.load();
            if (start == 0 || call->reported)
                continue;
            const Bound bound{call->factor.load(), call->timeout_ms.load(), call->fixed_ms.load()};
            const std::int64_t limit = bound.ms(slack_ms_);
            const std::int64_t elapsed = (now - start) / 1'000'000;
            if (elapsed <= limit || call->start_ns.load() != start)
                continue;
            call->reported = true;
            reporter_.violation("no hang: every call returns within its bound",
                                std::string(call->function.load()) + " has not returned after " +
                                    std::to_string(elapsed) + " ms; its bound is " +
                                    std::to_string(limit) + " ms (the last call below)",
                                call->log, kExitHang);
        }
    }
}

}  // namespace torture
