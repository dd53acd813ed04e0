// The no-hang invariant for calls that never return: each operation thread
// publishes the call it is in (since when, and its bound), and a thread of
// the process looks at them every 100 ms. A call past its bound is reported
// with its thread's calls so far, and ends the process (the call will not
// come back to report itself). Calls that do return are timed by their
// caller against the same bound.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "call_log.h"
#include "reporter.h"

namespace torture {

// How long a call may take: `factor` times the session's timeout (its
// largest since it was opened, read when the bound is checked: another
// thread may raise it meanwhile) plus `fixed_ms`; the slack comes on top.
struct Bound {
    int factor = 0;
    const std::atomic<std::uint32_t>* timeout_ms = nullptr;
    std::int64_t fixed_ms = 0;

    std::int64_t ms(std::int64_t slack_ms) const {
        const std::int64_t t = timeout_ms != nullptr ? timeout_ms->load() : 0;
        return factor * t + fixed_ms + slack_ms;
    }
};

// The call one thread is in; start_ns 0 when none.
struct WatchedCall {
    std::atomic<std::int64_t> start_ns{0};
    std::atomic<const char*> function{nullptr};
    std::atomic<int> factor{0};
    std::atomic<const std::atomic<std::uint32_t>*> timeout_ms{nullptr};
    std::atomic<std::int64_t> fixed_ms{0};
    const CallLog* log = nullptr;
    bool reported = false;  // the watchdog's own

    void enter(const char* name, const Bound& bound, std::int64_t now);
    void leave() { start_ns.store(0); }
};

class Watchdog {
  public:
    Watchdog(Reporter& reporter, std::int64_t slack_ms);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Before start(); the calls outlive the watchdog.
    void watch(WatchedCall* call) { calls_.push_back(call); }
    void start();

  private:
    void run();

    Reporter& reporter_;
    std::int64_t slack_ms_;
    std::vector<WatchedCall*> calls_;
    std::mutex mutex_;
    std::condition_variable stop_changed_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace torture
