#include "transport/deadline.h"

#include <algorithm>
#include <limits>

namespace sgvisa {

Deadline deadline_after_ms(std::uint32_t ms) {
    if (ms == 0xFFFFFFFFu)
        return Deadline::max();
    return Clock::now() + std::chrono::milliseconds(ms);
}

int ms_until(Deadline d) {
    if (d == Deadline::max())
        return std::numeric_limits<std::int32_t>::max();
    const auto now = Clock::now();
    if (d <= now)
        return 0;
    // Round up so that a poll() with this timeout never wakes before `d`.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(d - now).count();
    return static_cast<int>(std::min<long long>(left, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace sgvisa
