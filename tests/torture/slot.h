// A worker's session slots: the sessions its threads share. Any thread may
// use a session in a slot, close it (a close from another thread), or
// borrow the slot for a sequence that needs it alone (a lock held over
// several calls, events waited for); while borrowed, the other threads
// only close it or read its status byte.
//
// The slot also keeps what the test knows of the session: its generation
// (a new one per open; a call that finds it changed knows its session was
// closed under it), the timeouts set, and the VISA locks it holds, which
// the slot's mutex orders with the shared records of the board (see
// InstrumentBoard).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "board.h"
#include "visa.h"

namespace torture {

inline constexpr int kSlots = 5;
// The timeout at which the simulated instrument is taken to answer always:
// a VI_ERROR_TMO at this timeout is the library's fault.
inline constexpr std::uint32_t kReliableTimeoutMs = 2000;

// A session as a call sees it when it starts.
struct Target {
    int slot = -1;
    ViSession vi = VI_NULL;
    std::uint32_t generation = 0;
    int instrument = -1;
    SessionId id = 0;
};

// The attributes whose updates the test checks for losses.
enum TrackedAttribute { ta_timeout, ta_termchar_enabled, ta_termchar, kTrackedAttributes };

struct Slot {
    mutable std::mutex
        mutex;  // orders session, generation and lock changes with the board's records
    std::atomic<ViSession> vi{VI_NULL};
    std::atomic<std::uint32_t> generation{0};
    std::atomic<int> instrument{-1};
    std::atomic<int> borrower{-1};  // the borrowing thread, -1: none
    // Threads in an operation on the session that picked it unborrowed: a
    // borrower waits for them to finish (they back off once it is set).
    std::atomic<int> users{0};
    // Timeouts: the last set, the largest since the open (what bounds use).
    std::atomic<std::uint32_t> timeout_ms{kReliableTimeoutMs};
    std::atomic<std::uint32_t> timeout_max_ms{kReliableTimeoutMs};
    // Sets of each tracked attribute: those begun (bits 32 and up) and those
    // under way (bits 0-31), in one word, read and changed at one instant
    // (two counters let a set that began before another be counted under way
    // only after it, and be missed). A call that saw neither change knows
    // the timeout it ran with.
    std::atomic<std::uint64_t> attribute_sets[kTrackedAttributes] = {};
    // Returns the word before this set began.
    std::uint64_t begin_set(TrackedAttribute a) {
        return attribute_sets[a].fetch_add(kSetBegun | 1);
    }
    void end_set(TrackedAttribute a) { attribute_sets[a].fetch_sub(1); }
    static std::uint32_t begun(std::uint64_t sets) {
        return static_cast<std::uint32_t>(sets >> 32);
    }
    static std::uint32_t under_way(std::uint64_t sets) { return static_cast<std::uint32_t>(sets); }
    static constexpr std::uint64_t kSetBegun = std::uint64_t{1} << 32;
    // The last sets of the timeout that succeeded, for the report of a lost
    // one: (order << 32) | (thread << 24) | value, in a ring.
    static constexpr int kTimeoutSetsKept = 8;
    std::atomic<std::uint64_t> timeout_sets[kTimeoutSetsKept] = {};
    std::atomic<std::uint32_t> timeout_set_count{0};
    // When a thread last took the slot's session to close it (now_ns()).
    std::atomic<std::int64_t> closed_at_ns{0};
    // Under `mutex`:
    int exclusive_depth = 0;
    int shared_depth = 0;
    bool device_locked = false;  // counted in its simulator's device_lockers

    // The session in the slot now (vi VI_NULL when none).
    Target target(std::uint32_t incarnation, int index) const;
    // Whether the session `t` names is still the one in the slot.
    bool holds(const Target& t) const { return generation.load() == t.generation; }
    // Raises the largest timeout before a call that may set `ms`.
    void raise_timeout_max(std::uint32_t ms);
    // Records a set of the timeout that succeeded, and lists the last ones.
    void note_timeout_set(int thread, std::uint32_t ms);
    std::string last_timeout_sets() const;
};

}  // namespace torture
