#include <mutex>
#include <shared_mutex>
#include <string>

#include "actor.h"
#include "message_checks.h"
#include "operations.h"

namespace torture {
namespace {

std::string mode_name(ViAccessMode mode) {
    std::string name;
    if (mode & VI_EXCLUSIVE_LOCK)
        name = "VI_EXCLUSIVE_LOCK";
    if (mode & VI_LOAD_CONFIG)
        name += name.empty() ? "VI_LOAD_CONFIG" : "|VI_LOAD_CONFIG";
    return name.empty() ? "VI_NO_LOCK" : name;
}

// Under the exclusive lock an exclusive open took: queries that must all
// be answered with their own tokens, then (mostly) viUnlock; a lock kept
// stays until a close.
void use_exclusive_open(Actor& a, const Target& t) {
    const int queries = static_cast<int>(a.rng.below(3));
    for (int i = 0; i < queries; ++i) {
        if (a.rng.percent(50))
            token_query(a, t);
        else
            split_token_query(a, t, true);
    }
    if (a.rng.percent(30)) {
        a.note("  keeps the exclusive lock until the session is closed");
        return;
    }
    a.note_unlocking(t);
    const ViStatus st = a.call(fn_unlock, "viUnlock(" + std::to_string(t.vi) + ")", Actor::fixed(0),
                               [&] { return viUnlock(t.vi); });
    a.expect(fn_unlock, t, st, {VI_SUCCESS});
    a.note_released(t.instrument);
}

// A raw socket has no END: a read ends at the count, the timeout, or the
// termination character when it is enabled. The threads' reads of whole
// replies need the character, so a SOCKET session enables it at its open
// and op_attributes leaves it alone (ops_misc.cpp).
void socket_termchar(Actor& a, const Target& t) {
    const ViStatus st = a.call(
        fn_set_attribute, "viSetAttribute(" + std::to_string(t.vi) + ", VI_ATTR_TERMCHAR_EN, 1)",
        Actor::fixed(0), [&] { return viSetAttribute(t.vi, VI_ATTR_TERMCHAR_EN, VI_TRUE); });
    a.expect(fn_set_attribute, t, st, {VI_SUCCESS});
}

}  // namespace

void op_open(Actor& a) {
    int k = -1;
    if (!a.borrow_empty(k))
        return;
    Slot& s = a.worker.slot(k);
    const int instrument = static_cast<int>(a.rng.below(a.worker.instrument_count()));
    const std::string& resource = a.worker.instrument(instrument).resource;
    const Link link = a.worker.instrument(instrument).link;
    const ViAccessMode mode = a.rng.pick<ViAccessMode>(
        {VI_NO_LOCK, VI_NO_LOCK, VI_NO_LOCK, VI_LOAD_CONFIG, VI_EXCLUSIVE_LOCK, VI_EXCLUSIVE_LOCK,
         VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG});
    const bool exclusive = (mode & VI_EXCLUSIVE_LOCK) != 0;
    const ViUInt32 timeout = a.rng.pick<ViUInt32>({0, 0, 10, 500, 2000});
    const std::uint32_t kills = a.worker.board().kills.load();
    const std::int64_t started = now_ns();
    Target before_open;
    before_open.slot = k;
    before_open.instrument = instrument;
    const Actor::Snapshot before = a.snapshot(before_open);
    const bool device = exclusive && a.begin_device_lock(instrument);
    ViSession vi = VI_NULL;
    ViStatus st;
    Target t;
    {
        // The resource manager stays open until the slot holds the session.
        std::shared_lock rm_lock(a.worker.rm_mutex());
        const ViSession rm = a.worker.rm();
        // Waits for the lock within the open timeout; the instrument's
        // first requests get a second whatever is left of it.
        st = a.call(fn_open,
                    "viOpen(" + std::to_string(rm) + ", " + resource + ", " + mode_name(mode) +
                        ", " + std::to_string(timeout) + ")",
                    Actor::fixed(timeout + 1000),
                    [&] { return viOpen(rm, resource.c_str(), mode, timeout, &vi); });
        if (st >= 0) {
            std::lock_guard lock(s.mutex);
            s.generation.fetch_add(1);
            s.instrument.store(instrument);
            s.timeout_ms.store(kReliableTimeoutMs);
            s.timeout_max_ms.store(kReliableTimeoutMs);
            s.exclusive_depth = 0;
            s.shared_depth = 0;
            s.device_locked = false;
            s.vi.store(vi);
            // Taken here: once the slot's lock goes, another thread may
            // close the session, and the slot no longer names it.
            t.slot = k;
            t.vi = vi;
            t.generation = s.generation.load();
            t.instrument = instrument;
            t.id = session_id(a.incarnation(), k, t.generation);
        }
    }
    // The report names sessions by handle: which instrument a handle is on
    // is told here, once.
    if (st >= 0)
        a.note("  handle " + std::to_string(vi) + " is session " + std::to_string(t.id) +
               ", slot " + std::to_string(k));
    if (st == VI_ERROR_RSRC_NFOUND)
        a.worker.note_usb_searched();
    const ViStatus opened = (mode & VI_LOAD_CONFIG) ? VI_WARN_CONFIG_NLOADED : VI_SUCCESS;
    // An open asks the instrument for its capabilities: while a VXI-11
    // link holds the device's lock, a USB one may time out.
    const bool held_back = st == VI_ERROR_TMO && a.device_lock_in_play(before_open, before);
    if (held_back)
        a.note("  held back by a VXI-11 device lock");
    if (st != opened && !(exclusive && st == VI_ERROR_RSRC_LOCKED) && !held_back) {
        if (exclusive) {
            a.violation("only the statuses VISA gives for the call",
                        "viOpen with " + mode_name(mode) + " returned " + status_name(st) +
                            "; expected " + status_name(opened) + " or VI_ERROR_RSRC_LOCKED");
        } else {
            a.violation("a viOpen that requests no lock succeeds at once, whatever others hold",
                        "viOpen(" + resource + ", " + mode_name(mode) + ", " +
                            std::to_string(timeout) + ") returned " + status_name(st));
        }
    }
    if (st >= 0 && exclusive)
        a.note_locked(t, VI_EXCLUSIVE_LOCK, st);
    if (device) {
        if (st >= 0)
            a.end_device_lock_attempt(t, device, st);
        else
            a.release_device_lock(instrument);
    }
    if (st >= 0 && link == Link::socket)
        socket_termchar(a, t);
    if (st >= 0 && exclusive) {
        a.check_hand_over(t, started, kills, "viOpen with VI_EXCLUSIVE_LOCK");
        use_exclusive_open(a, t);
    }
    a.give_back(k);
}

void op_close(Actor& a) {
    Target t;
    if (!a.pick_open(t, true))
        return;
    // The resource manager stays open until this close is done: closing
    // it would close this session too.
    std::shared_lock rm_lock(a.worker.rm_mutex());
    const int instrument = a.worker.slot(t.slot).instrument.load();
    const ViSession vi = a.take_for_close(t.slot);
    if (vi == VI_NULL)
        return;
    // viClose returns at once, whatever another thread is doing with the
    // session: its bound is the slack alone.
    const ViStatus st = a.call(fn_close, "viClose(" + std::to_string(vi) + ")",
                               a.service_request_bound(instrument), [&] { return viClose(vi); });
    if (st != VI_SUCCESS) {
        a.violation("only the statuses VISA gives for the call",
                    "viClose of an open session returned " + status_name(st));
    }
    a.note_released(instrument);
}

void op_cycle_resource_manager(Actor& a) {
    std::unique_lock rm_lock(a.worker.rm_mutex());
    a.worker.close_all(&a);
    a.worker.open_rm(&a);
}

}  // namespace torture
