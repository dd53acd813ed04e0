// The torture test's random choices: one generator per process and thread,
// each seeded from the run's seed and the role it plays, so that one seed
// gives every process and thread the same choices again.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace torture {

// splitmix64: small, fast, and good enough to choose operations.
inline std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Rng {
  public:
    // The generator of the role named by `parts` (e.g. incarnation, thread).
    Rng(std::uint64_t seed, std::initializer_list<std::uint64_t> parts) : state_(mix(seed)) {
        for (std::uint64_t p : parts)
            state_ = mix(state_ ^ mix(p + 1));
    }

    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return mix(state_);
    }
    // Uniform in [0, n); n > 0.
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    // True with probability percent/100.
    bool percent(std::uint32_t percent) { return below(100) < percent; }
    template <typename T>
    T pick(std::initializer_list<T> values) {
        return values.begin()[below(static_cast<std::uint32_t>(values.size()))];
    }

  private:
    std::uint64_t state_;
};

}  // namespace torture
