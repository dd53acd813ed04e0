#include "tag_seed.h"

#include <unistd.h>

#include <atomic>

#include "deadline.h"

namespace sgvisa::usbtmc {

std::uint64_t tag_seed() {
    static std::atomic<std::uint64_t> calls{0};
    std::uint64_t x = static_cast<std::uint64_t>(::getpid()) << 32 ^
                      static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^
                      calls.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15u;
    // splitmix64's finaliser: every input bit moves the result.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

}  // namespace sgvisa::usbtmc
