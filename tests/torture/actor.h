// One operation thread of a worker: its random choices, its call log, the
// call it is in (for the watchdog), and the wrappers every call goes
// through. call() times a call against its bound (no hang) and logs it;
// io() does that for a call that talks to an instrument and checks what
// any such call must satisfy:
//   - exclusive means exclusive: it does not succeed while another session
//     holds the exclusive lock for the whole call;
//   - the holder of the exclusive lock is not locked out;
//   - a session is not gone (VI_ERROR_INV_OBJECT, VI_ERROR_ABORT) unless a
//     thread closed it;
//   - the instrument answers: no VI_ERROR_TMO at the reliable timeout, and
//     no VI_ERROR_CONN_LOST while the simulated instrument lives;
//   - no other status than those VISA gives such a call.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "call_log.h"
#include "clock.h"
#include "random.h"
#include "slot.h"
#include "status_names.h"
#include "token.h"
#include "watchdog.h"
#include "worker.h"

namespace torture {

// Whether the call must be answered by the instrument: a read that another
// session's message may have overtaken (a split read) may time out.
enum class Needs { answer, nothing };

class Actor {
  public:
    Actor(Worker& worker, int index);

    Worker& worker;
    const int index;
    Rng rng;
    CallLog log;
    WatchedCall watch;

    // Runs operations until the worker ends.
    void run();

    ViStatus call(Function fn, const std::string& text, const Bound& bound,
                  const std::function<ViStatus()>& f);
    ViStatus io(Function fn, const Target& t, const std::string& text, int factor, Needs needs,
                const std::function<ViStatus()>& f);

    // What io() looks at before a call, and its checks after it; apart for
    // asynchronous jobs, which start with their call and end with their
    // completion event.
    struct Snapshot {
        std::uint32_t kills = 0;
        std::uint32_t abandoned = 0;
        bool dirty = false;
        std::uint32_t timeout_writes = 0;
        bool timeout_steady = false;
        std::uint32_t timeout_ms = 0;
        std::uint64_t exclusive = 0;
        std::uint32_t device_lock_epochs = 0;
        bool device_locked = false;
    };
    Snapshot snapshot(const Target& t);
    void check_io(Function fn, const Target& t, const Snapshot& before, ViStatus st, Needs needs);

    void violation(const std::string& invariant, const std::string& detail);
    // For a call that does not talk to the instrument: `st` must be one of
    // `allowed`, or VI_ERROR_INV_OBJECT or VI_ERROR_ABORT once another
    // thread closed `t`.
    void expect(Function fn, const Target& t, ViStatus st, std::initializer_list<ViStatus> allowed);
    void note(std::string text) { log.note(std::move(text)); }

    // The bound of a call that turns a session's service requests on or
    // off, a close among them. On VXI-11 the library gives the sessions of
    // a resource in one process one link, whose core channel takes one call
    // at a time: such a call waits for the one in progress, up to 2 s for
    // each of its own two calls, before it gives up (kVxi11LinkWaitMs). The
    // wait of a close so is a known fault of the library (docs/testing.md).
    static constexpr std::int64_t kVxi11LinkWaitMs = 2 * 2000;
    Bound service_request_bound(int instrument) const {
        return fixed(worker.instrument(instrument).link == Link::vxi11 ? kVxi11LinkWaitMs : 0);
    }
    // A close of the resource manager closes every session.
    Bound close_all_bound() const {
        for (int i = 0; i < worker.instrument_count(); ++i) {
            if (worker.instrument(i).link == Link::vxi11)
                return fixed(kVxi11LinkWaitMs);
        }
        return fixed(0);
    }
    // Bounds: `factor` times the session's timeout, or a fixed time.
    Bound io_bound(const Target& t, int factor) const;
    static Bound fixed(std::int64_t ms) { return Bound{0, nullptr, ms}; }
    std::int64_t slack_ms() const;

    // Slots: a random open one (not borrowed by another thread unless
    // `even_borrowed`), a borrowed open one, a borrowed empty one. A slot
    // picked without `even_borrowed` counts this thread as its user until
    // the operation ends (end_operation), and a borrow waits until the
    // slot has no user but this thread: so no call another thread began
    // before lands in the middle of a borrower's sequence.
    bool pick_open(Target& out, bool even_borrowed = false);
    bool borrow_open(Target& out);
    bool borrow_empty(int& slot);
    void give_back(int slot);
    void end_operation();
    Slot& slot(const Target& t) { return worker.slot(t.slot); }
    InstrumentBoard& instrument_board(int instrument) {
        return worker.board().instruments[instrument];
    }
    std::uint32_t incarnation() const { return worker.setup().incarnation; }

    // A fresh token of this thread.
    std::uint64_t next_token(TokenKind kind);

    // Lock bookkeeping (see InstrumentBoard): after a lock call returned
    // `st`, and before the call that lets a lock go.
    void note_locked(const Target& t, ViAccessMode type, ViStatus st);
    void note_unlocking(const Target& t);
    // After a call that let a lock go (viUnlock, viClose).
    void note_released(int instrument);
    // Clears the slot for a close of its session; returns the session
    // (VI_NULL when the slot was empty). The lock records go first.
    ViSession take_for_close(int slot);
    // A waiter's lock arrived in time after the last holder let go.
    void check_hand_over(const Target& t, std::int64_t started_ns, std::uint32_t kills_before,
                         const char* what);

    // How the session reaches its instrument.
    Link link(const Target& t) const { return worker.instrument(t.instrument).link; }
    // The board of the simulator behind `instrument` (see device_lockers).
    InstrumentBoard& simulator_board(int instrument) {
        return instrument_board(worker.instrument(instrument).simulator);
    }
    // Around an exclusive lock of a VXI-11 session, which the simulator
    // keeps for all its links and its local bus: counted before the call
    // that may take it (true when counted), kept by the session when it
    // got it, and given back when it lets go (note_unlocking,
    // take_for_close) or at once when it did not get it.
    bool begin_device_lock(int instrument);
    void end_device_lock_attempt(const Target& t, bool counted, ViStatus st);
    void release_device_lock(int instrument);
    // Whether the simulator may have held back a call of `t` for another
    // session's device lock during the call that began at `before`.
    bool device_lock_in_play(const Target& t, const Snapshot& before);

    // Whether the instrument may be left in an unknown state by a killed
    // worker or an abandoned I/O test sequence since the last device clear.
    bool instrument_dirty(int instrument);

  private:
    // Waits (bounded) until slot `k` has no user but this thread.
    bool wait_for_users(int k);

    std::uint32_t sequence_[2] = {0, 0};
    std::vector<int> using_;  // the slots this operation picked
};

// The text of a reply for the log: escaped, shortened.
std::string printable(const std::string& bytes);

}  // namespace torture
