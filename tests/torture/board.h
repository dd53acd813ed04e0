// What the processes of a run know of each other: a page of shared memory
// (mapped before the workers are forked) with what the test itself knows of
// the instruments' VISA locks, which workers were killed, the atomic
// queries in flight, and the run's counters. Only lock-free atomics live
// here, so that every process may touch it at any time, a killed one too.
#pragma once

#include <atomic>
#include <cstdint>

#include "status_names.h"

namespace torture {

inline constexpr int kMaxInstruments = 6;
inline constexpr int kMaxIncarnations = 1024;  // worker processes in one run
inline constexpr int kMaxThreads = 16;         // operation threads of one worker

// A session as the test names it: the worker's incarnation, the slot it
// sits in and the slot's generation (one per session opened in the slot).
// Never 0.
using SessionId = std::uint32_t;
inline SessionId session_id(std::uint32_t incarnation, int slot, std::uint32_t generation) {
    return ((incarnation % kMaxIncarnations) + 1) << 12 |
           (static_cast<std::uint32_t>(slot) & 0xF) << 8 | (generation & 0xFF);
}
inline std::uint32_t incarnation_of(SessionId id) {
    return (id >> 12) - 1;
}

struct InstrumentBoard {
    // The session that holds the exclusive lock as far as the test knows:
    // (epoch << 32) | SessionId, 0 when none. Set after viLock (or an
    // exclusive viOpen) returned, cleared before the call that lets go, so
    // the lock was held for as long as the record stands.
    std::atomic<std::uint64_t> exclusive{0};
    std::atomic<std::uint32_t> epochs{0};
    // Sessions holding any VISA lock (shared or exclusive) as the test knows,
    // and when the last of them let go: a waiter must get the lock soon after.
    std::atomic<std::int32_t> lock_holders{0};
    std::atomic<std::int64_t> released_at_ns{0};
    // The value of Board::kills at the start of the last viClear that
    // succeeded: a killed process may leave the instrument mid-sequence
    // (the I/O test instrument receiving, a reply in flight) until then.
    std::atomic<std::uint32_t> clean_at_kills{0};
    // I/O test sequences that sent RECEIVE and then could not send the
    // message that ends it (their session closed by another thread, or a
    // call failed): the instrument keeps every message it is sent, and
    // answers none, until a device clear. The value of it at the start of
    // the last viClear that succeeded is clean_at_abandoned.
    std::atomic<std::uint32_t> abandoned{0};
    std::atomic<std::uint32_t> clean_at_abandoned{0};
    // Kept in the board of a simulator's local bus resource: the exclusive
    // lock of a VXI-11 session is the device's too, and while a link holds
    // it the simulator takes no USB frame and no SOCKET message (they wait,
    // and may time out). Counted from before the lock call until its
    // session lets go (device_lockers), with one epoch per attempt and when
    // the last let go (the library may send device_unlock after the call
    // that lets go returned, once an operation in progress ends).
    std::atomic<std::int32_t> device_lockers{0};
    std::atomic<std::uint32_t> device_lock_epochs{0};
    std::atomic<std::int64_t> device_free_at_ns{0};
};

// An atomic query (viQueryf) in flight, so that a split read that receives
// its token can tell its owner, who must then not complete as if nothing
// happened.
struct PendingQuery {
    std::atomic<std::uint64_t> token{0};
    std::atomic<std::uint64_t> taken_by{0};  // SessionId of the reader, 0: nobody
};

struct Board {
    InstrumentBoard instruments[kMaxInstruments];
    std::atomic<std::uint8_t> killed[kMaxIncarnations];
    std::atomic<std::uint32_t> kills{0};
    PendingQuery pending[kMaxIncarnations][kMaxThreads];
    std::atomic<std::uint32_t> violations{0};
    // Calls made, by function and by status class.
    std::atomic<std::uint64_t> calls[kFunctionCount][kStatusClassCount];

    bool was_killed(std::uint32_t incarnation) const {
        return killed[incarnation % kMaxIncarnations].load() != 0;
    }
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// A zeroed board in memory shared with the processes forked after it.
Board* map_board();

}  // namespace torture
