// Whether the I/O trace is on, and how much it tells: read once from the
// environment (SGVISA_TRACE, SGVISA_TRACE_LEVEL) when the library is loaded
// (or at the first question, should that come first).
//
// The question costs one relaxed atomic load and a branch once answered, so
// every VISA call may ask it; nothing is formatted when the answer is off.
#pragma once

#include <atomic>

namespace sgvisa::trace {

enum class Level : int { off = 0, calls = 1, transfers = 2 };

namespace detail {
// -1 until the environment has been read.
inline std::atomic<int> level{-1};
Level read_environment() noexcept;
}  // namespace detail

#ifdef SGVISA_WITHOUT_TRACE
// A build with no trace at all (bench/: the baseline the trace's cost is
// measured against).
inline constexpr Level level() noexcept {
    return Level::off;
}
#else
inline Level level() noexcept {
    const int now = detail::level.load(std::memory_order_relaxed);
    if (now >= 0) [[likely]]
        return static_cast<Level>(now);
    return detail::read_environment();
}
#endif

// One line per VISA call.
inline bool calls_on() noexcept {
    return level() != Level::off;
}
// Also each USBTMC transfer, control request and notification.
inline bool transfers_on() noexcept {
    return level() == Level::transfers;
}

}  // namespace sgvisa::trace
