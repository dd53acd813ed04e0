// Deadlines for blocking calls: every wait in the library is bounded by one.
#pragma once

#include <chrono>
#include <cstdint>

namespace sgvisa {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// A deadline `ms` milliseconds from now; VI_TMO_INFINITE (0xFFFFFFFF) gives
// Deadline::max().
Deadline deadline_after_ms(std::uint32_t ms);

// Milliseconds left until `d`, clamped to [0, INT32_MAX]: ready for poll().
int ms_until(Deadline d);

}  // namespace sgvisa
