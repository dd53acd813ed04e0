// A clock that a fuzz target moves itself. Linking virtual_clock.cpp into a
// target replaces std::chrono::steady_clock::now() and nanosleep() for the
// whole program, so that the library's deadlines, recovery bounds and
// pauses run on time the scripted device decides (a transfer takes a
// millisecond, a silent device lets the deadline pass), and a target can
// check that no call outlives its deadline without waiting for it.
#pragma once

#include <chrono>

namespace sgfuzz {

// Where the clock stands; any value may be set (each input starts alike).
std::chrono::nanoseconds virtual_now();
void set_virtual_now(std::chrono::nanoseconds t);
// Moves the clock on by `d` (never back).
void advance(std::chrono::nanoseconds d);

}  // namespace sgfuzz
