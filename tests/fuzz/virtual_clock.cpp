#include "virtual_clock.h"

#include <time.h>

#include <atomic>
#include <cstdint>

namespace {

std::atomic<std::int64_t> now_ns{std::int64_t{1} << 40};

}  // namespace

namespace sgfuzz {

std::chrono::nanoseconds virtual_now() {
    return std::chrono::nanoseconds(now_ns.load(std::memory_order_relaxed));
}

void set_virtual_now(std::chrono::nanoseconds t) {
    now_ns.store(t.count(), std::memory_order_relaxed);
}

void advance(std::chrono::nanoseconds d) {
    if (d.count() > 0)
        now_ns.fetch_add(d.count(), std::memory_order_relaxed);
}

}  // namespace sgfuzz

// The standard library's steady clock, as the library reads it (libstdc++'s
// out-of-line definition; this one is found first).
namespace std::chrono {
inline namespace _V2 {
steady_clock::time_point steady_clock::now() noexcept {
    return time_point(duration(now_ns.load(std::memory_order_relaxed)));
}
}  // namespace _V2
}  // namespace std::chrono

// std::this_thread::sleep_for sleeps through nanosleep: a pause passes at once
// and moves the clock.
extern "C" int nanosleep(const struct timespec* req, struct timespec* rem) {
    if (req)
        sgfuzz::advance(std::chrono::seconds(req->tv_sec) + std::chrono::nanoseconds(req->tv_nsec));
    if (rem)
        *rem = timespec{};
    return 0;
}
