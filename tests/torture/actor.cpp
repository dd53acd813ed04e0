#include "actor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "clock.h"
#include "operations.h"

namespace torture {
namespace {

constexpr std::uint64_t kHolderMask = 0xFFFFFFFFull;

std::string describe_session(SessionId id) {
    return "session " + std::to_string(id) + " (worker incarnation " +
           std::to_string(incarnation_of(id)) + ", slot " + std::to_string((id >> 8) & 0xF) + ")";
}

}  // namespace

std::string printable(const std::string& bytes) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size() && i < 80; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += bytes.size() > 80 ? "\"..." : "\"";
    return out;
}

Actor::Actor(Worker& w, int i)
    : worker(w),
      index(i),
      rng(w.options().seed, {w.setup().incarnation, static_cast<std::uint64_t>(i)}),
      log(i < 0 ? "the main thread" : "thread " + std::to_string(i), w.setup().run_start_ns) {
    watch.log = &log;
}

std::int64_t Actor::slack_ms() const {
    return worker.options().slack_ms;
}

Bound Actor::io_bound(const Target& t, int factor) const {
    return Bound{factor, &worker.slot(t.slot).timeout_max_ms, 0};
}

void Actor::violation(const std::string& invariant, const std::string& detail) {
    worker.reporter().violation(invariant, detail, &log);
}

ViStatus Actor::call(Function fn, const std::string& text, const Bound& bound,
                     const std::function<ViStatus()>& f) {
    const std::uint64_t entry = log.begin(text);
    const std::int64_t start = now_ns();
    watch.enter(function_name(fn), bound, start);
    const ViStatus st = f();
    watch.leave();
    const std::int64_t elapsed = ms_since(start);
    log.end(entry, st, elapsed);
    worker.board().calls[fn][status_class(st)].fetch_add(1);
    const std::int64_t limit = bound.ms(slack_ms());
    if (elapsed > limit) {
        violation("no hang: every call returns within its bound",
                  std::string(function_name(fn)) + " returned " + status_name(st) + " after " +
                      std::to_string(elapsed) + " ms; its bound is " + std::to_string(limit) +
                      " ms");
    }
    return st;
}

bool Actor::instrument_dirty(int instrument) {
    const InstrumentBoard& b = instrument_board(instrument);
    return worker.board().kills.load() != b.clean_at_kills.load() ||
           b.abandoned.load() != b.clean_at_abandoned.load();
}

Actor::Snapshot Actor::snapshot(const Target& t) {
    Snapshot s;
    Slot& slot_now = slot(t);
    s.kills = worker.board().kills.load();
    s.abandoned = instrument_board(t.instrument).abandoned.load();
    s.dirty = instrument_dirty(t.instrument);
    const std::uint64_t sets = slot_now.attribute_sets[ta_timeout].load();
    s.timeout_steady = Slot::under_way(sets) == 0;
    s.timeout_writes = Slot::begun(sets);
    s.timeout_ms = slot_now.timeout_ms.load();
    s.exclusive = instrument_board(t.instrument).exclusive.load();
    const InstrumentBoard& sim = simulator_board(t.instrument);
    s.device_lock_epochs = sim.device_lock_epochs.load();
    s.device_locked = sim.device_lockers.load() > 0;
    return s;
}

bool Actor::begin_device_lock(int instrument) {
    // A HiSLIP session's exclusive lock is the device's as a VXI-11 one is.
    const Link link = worker.instrument(instrument).link;
    if (link != Link::vxi11 && link != Link::hislip)
        return false;
    InstrumentBoard& sim = simulator_board(instrument);
    sim.device_lock_epochs.fetch_add(1);
    sim.device_lockers.fetch_add(1);
    return true;
}

void Actor::end_device_lock_attempt(const Target& t, bool counted, ViStatus st) {
    if (!counted)
        return;
    Slot& s = slot(t);
    {
        std::lock_guard lock(s.mutex);
        // A nested lock, or one whose session was closed meanwhile, adds
        // no device lock of its own.
        if (st >= 0 && s.holds(t) && s.exclusive_depth > 0 && !s.device_locked) {
            s.device_locked = true;
            return;
        }
    }
    release_device_lock(t.instrument);
}

void Actor::release_device_lock(int instrument) {
    InstrumentBoard& sim = simulator_board(instrument);
    sim.device_free_at_ns.store(now_ns());
    sim.device_lockers.fetch_sub(1);
}

bool Actor::device_lock_in_play(const Target& t, const Snapshot& before) {
    const InstrumentBoard& sim = simulator_board(t.instrument);
    // The library lets the device go when the session's operation in
    // progress ends, which may be up to three timeouts after the call that
    // let go returned.
    const std::int64_t grace_ns = (slack_ms() + 3 * kReliableTimeoutMs) * 1'000'000;
    return before.device_locked || sim.device_lockers.load() > 0 ||
           sim.device_lock_epochs.load() != before.device_lock_epochs ||
           now_ns() - sim.device_free_at_ns.load() < grace_ns;
}

ViStatus Actor::io(Function fn, const Target& t, const std::string& text, int factor, Needs needs,
                   const std::function<ViStatus()>& f) {
    const Snapshot before = snapshot(t);
    const std::int64_t start = now_ns();
    const ViStatus st = call(fn, text, io_bound(t, factor), f);
    // A call on a SOCKET resource that failed once it may have sent its
    // message (a lock refused it before) may leave its reply unread.
    if (link(t) == Link::socket && st < 0 && st != VI_ERROR_RSRC_LOCKED && st != VI_ERROR_RSRC_BUSY)
        worker.socket_stream(t.slot).behind.store(true);
    check_io(fn, t, before, st, needs);
    // A close ends the session's operations in other threads at once.
    const Slot& s = slot(t);
    if (!s.holds(t)) {
        const std::int64_t from = std::max(start, s.closed_at_ns.load());
        const std::int64_t late_ms = ms_since(from);
        if (late_ms > slack_ms()) {
            violation("viClose ends the session's operations at once",
                      std::string(function_name(fn)) + " of " + describe_session(t.id) +
                          " returned " + status_name(st) + " " + std::to_string(late_ms) +
                          " ms after another thread closed the session");
        }
    }
    return st;
}

void Actor::check_io(Function fn, const Target& t, const Snapshot& before, ViStatus st,
                     Needs needs) {
    Board& board = worker.board();
    Slot& s = slot(t);
    const std::uint64_t r1 = before.exclusive;
    const std::uint64_t r2 = instrument_board(t.instrument).exclusive.load();
    const bool closed = !s.holds(t);
    const bool dirty = before.dirty || board.kills.load() != before.kills ||
                       instrument_board(t.instrument).abandoned.load() != before.abandoned;
    const SessionId holder = static_cast<SessionId>(r1 & kHolderMask);
    const bool held_throughout = r1 != 0 && r1 == r2 && !board.was_killed(incarnation_of(holder));
    const std::string what = std::string(function_name(fn)) + " of " + describe_session(t.id) +
                             " (handle " + std::to_string(t.vi) + ", " +
                             worker.instrument(t.instrument).resource + ")";
    if (st >= 0) {
        if (held_throughout && holder != t.id) {
            violation("exclusive means exclusive",
                      what + " succeeded (" + status_name(st) + ") while " +
                          describe_session(holder) + " held the exclusive lock throughout (epoch " +
                          std::to_string(r1 >> 32) + ")");
        }
        return;
    }
    switch (st) {
        case VI_ERROR_CONN_LOST:
            violation("the connection lives while the instrument does",
                      what + " returned VI_ERROR_CONN_LOST; the simulated instrument is running");
            break;
        case VI_ERROR_INV_OBJECT:
        case VI_ERROR_ABORT:
            if (!closed) {
                violation(
                    "a session ends only when it is closed",
                    what + " returned " + status_name(st) + " but no thread closed the session");
            }
            break;
        case VI_ERROR_RSRC_LOCKED:
            if (held_throughout && holder == t.id) {
                violation("the holder of the exclusive lock is not locked out",
                          what +
                              " returned VI_ERROR_RSRC_LOCKED while it held the exclusive lock "
                              "throughout (epoch " +
                              std::to_string(r1 >> 32) + ")");
            }
            break;
        case VI_ERROR_RSRC_BUSY:
            break;  // waited for others within its timeout: allowed
        case VI_ERROR_TMO: {
            const bool steady =
                before.timeout_steady &&
                Slot::begun(s.attribute_sets[ta_timeout].load()) == before.timeout_writes;
            if (needs == Needs::answer && !closed && !dirty && steady &&
                before.timeout_ms >= kReliableTimeoutMs && !device_lock_in_play(t, before)) {
                violation("the instrument answers: VI_ERROR_TMO only when it does not",
                          what + " timed out at " + std::to_string(before.timeout_ms) +
                              " ms; the simulated instrument answers at once");
            }
            break;
        }
        case VI_ERROR_IO:
            if (!closed && !dirty) {
                violation("only the statuses VISA gives for the call",
                          what +
                              " returned VI_ERROR_IO with no worker killed since the last "
                              "device clear");
            }
            break;
        default:
            violation("only the statuses VISA gives for the call",
                      what + " returned " + status_name(st));
    }
}

void Actor::expect(Function fn, const Target& t, ViStatus st,
                   std::initializer_list<ViStatus> allowed) {
    for (ViStatus ok : allowed) {
        if (st == ok)
            return;
    }
    // A close of the session ends what another thread is doing with it.
    if ((st == VI_ERROR_INV_OBJECT || st == VI_ERROR_ABORT) && !slot(t).holds(t))
        return;
    const std::string what = std::string(function_name(fn)) + " of " + describe_session(t.id);
    if (st == VI_ERROR_CONN_LOST) {
        violation("the connection lives while the instrument does",
                  what + " returned VI_ERROR_CONN_LOST; the simulated instrument is running");
        return;
    }
    std::string expected;
    for (ViStatus ok : allowed)
        expected += (expected.empty() ? "" : ", ") + status_name(ok);
    violation("only the statuses VISA gives for the call",
              what + " returned " + status_name(st) + "; expected " + expected +
                  (slot(t).holds(t) ? "" : ", VI_ERROR_INV_OBJECT or VI_ERROR_ABORT"));
}

bool Actor::pick_open(Target& out, bool even_borrowed) {
    const int start = static_cast<int>(rng.below(kSlots));
    for (int i = 0; i < kSlots; ++i) {
        const int k = (start + i) % kSlots;
        Slot& s = worker.slot(k);
        if (s.vi.load() == VI_NULL)
            continue;
        if (!even_borrowed) {
            // Counted first, then the borrower looked at: a borrower that
            // came first is seen here, one that comes later waits.
            s.users.fetch_add(1);
            const int b = s.borrower.load();
            if (b != -1 && b != index) {
                s.users.fetch_sub(1);
                continue;
            }
            using_.push_back(k);
        }
        out = s.target(incarnation(), k);
        if (out.vi != VI_NULL)
            return true;
    }
    return false;
}

void Actor::end_operation() {
    for (const int k : using_)
        worker.slot(k).users.fetch_sub(1);
    using_.clear();
}

bool Actor::wait_for_users(int k) {
    const int own = static_cast<int>(std::count(using_.begin(), using_.end(), k));
    // A user is in one call at most, bounded by its timeout: 10 s covers it.
    // No event marks a user's end, so this looks every millisecond.
    const std::int64_t start = now_ns();
    while (worker.slot(k).users.load() > own) {
        if (ms_since(start) > 10'000)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool Actor::borrow_open(Target& out) {
    const int start = static_cast<int>(rng.below(kSlots));
    for (int i = 0; i < kSlots; ++i) {
        const int k = (start + i) % kSlots;
        Slot& s = worker.slot(k);
        int none = -1;
        if (s.vi.load() == VI_NULL || !s.borrower.compare_exchange_strong(none, index))
            continue;
        if (wait_for_users(k)) {
            out = s.target(incarnation(), k);
            if (out.vi != VI_NULL)
                return true;
        }
        give_back(k);
    }
    return false;
}

bool Actor::borrow_empty(int& slot) {
    const int start = static_cast<int>(rng.below(kSlots));
    for (int i = 0; i < kSlots; ++i) {
        const int k = (start + i) % kSlots;
        Slot& s = worker.slot(k);
        int none = -1;
        if (s.vi.load() != VI_NULL || !s.borrower.compare_exchange_strong(none, index))
            continue;
        if (s.vi.load() == VI_NULL) {
            slot = k;
            return true;
        }
        give_back(k);
    }
    return false;
}

void Actor::give_back(int slot) {
    worker.slot(slot).borrower.store(-1);
}

std::uint64_t Actor::next_token(TokenKind kind) {
    TokenOwner owner;
    owner.incarnation = incarnation();
    owner.thread = static_cast<std::uint32_t>(index);
    owner.kind = kind;
    owner.sequence = sequence_[static_cast<int>(kind)]++;
    return make_token(owner);
}

void Actor::note_locked(const Target& t, ViAccessMode type, ViStatus st) {
    if (st < 0)
        return;
    Slot& s = slot(t);
    InstrumentBoard& ib = instrument_board(t.instrument);
    std::lock_guard lock(s.mutex);
    if (!s.holds(t))
        return;  // closed meanwhile: its close let the lock go
    const bool held_before = s.exclusive_depth + s.shared_depth > 0;
    if (type == VI_EXCLUSIVE_LOCK) {
        if (s.exclusive_depth++ == 0) {
            const std::uint64_t old = ib.exclusive.load();
            const SessionId previous = static_cast<SessionId>(old & kHolderMask);
            if (old != 0 && previous != t.id &&
                !worker.board().was_killed(incarnation_of(previous))) {
                violation("exclusive means exclusive",
                          describe_session(t.id) + " got the exclusive lock (" + status_name(st) +
                              ") while " + describe_session(previous) + " held it (epoch " +
                              std::to_string(old >> 32) + ")");
            }
            const std::uint64_t epoch = ib.epochs.fetch_add(1) + 1;
            ib.exclusive.store(epoch << 32 | t.id);
        }
    } else {
        ++s.shared_depth;
    }
    if (!held_before)
        ib.lock_holders.fetch_add(1);
}

void Actor::note_unlocking(const Target& t) {
    Slot& s = slot(t);
    InstrumentBoard& ib = instrument_board(t.instrument);
    std::lock_guard lock(s.mutex);
    if (!s.holds(t))
        return;
    if (s.exclusive_depth > 0) {
        if (--s.exclusive_depth == 0) {
            std::uint64_t mine = ib.exclusive.load();
            if ((mine & kHolderMask) == t.id)
                ib.exclusive.compare_exchange_strong(mine, 0);
            if (s.device_locked) {
                s.device_locked = false;
                release_device_lock(t.instrument);
            }
        }
    } else if (s.shared_depth > 0) {
        --s.shared_depth;
    } else {
        return;
    }
    if (s.exclusive_depth + s.shared_depth == 0)
        ib.lock_holders.fetch_sub(1);
}

void Actor::note_released(int instrument) {
    InstrumentBoard& ib = instrument_board(instrument);
    if (ib.lock_holders.load() == 0)
        ib.released_at_ns.store(now_ns());
}

ViSession Actor::take_for_close(int k) {
    Slot& s = worker.slot(k);
    std::lock_guard lock(s.mutex);
    const ViSession vi = s.vi.exchange(VI_NULL);
    if (vi == VI_NULL)
        return VI_NULL;
    const SessionId id = session_id(incarnation(), k, s.generation.load());
    s.closed_at_ns.store(now_ns());
    s.generation.fetch_add(1);
    InstrumentBoard& ib = instrument_board(s.instrument.load());
    if (s.exclusive_depth > 0) {
        std::uint64_t mine = ib.exclusive.load();
        if ((mine & kHolderMask) == id)
            ib.exclusive.compare_exchange_strong(mine, 0);
    }
    if (s.exclusive_depth + s.shared_depth > 0)
        ib.lock_holders.fetch_sub(1);
    if (s.device_locked) {
        s.device_locked = false;
        release_device_lock(s.instrument.load());
    }
    s.exclusive_depth = 0;
    s.shared_depth = 0;
    return vi;
}

void Actor::check_hand_over(const Target& t, std::int64_t started_ns, std::uint32_t kills_before,
                            const char* what) {
    const std::int64_t released = instrument_board(t.instrument).released_at_ns.load();
    const std::int64_t late_ms = (now_ns() - released) / 1'000'000;
    // Besides the slack: an operation of this process or another that was
    // in progress when the lock came free may keep the instrument for up
    // to three of its timeouts.
    const std::int64_t allowed = slack_ms() + 3 * kReliableTimeoutMs;
    if (released > started_ns && worker.board().kills.load() == kills_before && late_ms > allowed) {
        violation("a waiting lock request gets the lock soon after it comes free",
                  std::string(what) + " returned " + std::to_string(late_ms) +
                      " ms after the last holder let go (it had waited since " +
                      std::to_string((released - started_ns) / 1'000'000) +
                      " ms before that); allowed " + std::to_string(allowed) + " ms");
    }
}

void Actor::run() {
    while (worker.next_operation()) {
        run_one_operation(*this);
        end_operation();
    }
}

}  // namespace torture
