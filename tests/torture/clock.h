// Time as the torture test measures it: one monotonic clock, in the units
// the reports print.
#pragma once

#include <chrono>
#include <cstdint>

namespace torture {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

inline std::int64_t ms_since(std::int64_t start_ns) {
    return (now_ns() - start_ns) / 1'000'000;
}

}  // namespace torture
