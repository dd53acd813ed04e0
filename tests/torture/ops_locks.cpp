#include <string>

#include "actor.h"
#include "message_checks.h"
#include "misc_calls.h"
#include "operations.h"

namespace torture {
namespace {

// RECEIVE, two lines of a token, then SEND: read back whole, or a line at
// a time at the termination character, the second line sometimes left
// unread for the next message to drop.
void io_test_sequence(Actor& a, const Target& t) {
    if (device_clear(a, t) < 0)
        return;
    // From RECEIVE until the message that ends it, the instrument keeps what
    // it is sent: a sequence that stops in between (its session closed by
    // another thread) leaves it so for every session until a device clear.
    const auto abandon = [&] {
        a.instrument_board(t.instrument).abandoned.fetch_add(1);
        a.note("the I/O test instrument may be left receiving until a device clear");
    };
    if (a.io(fn_printf, t, "viPrintf(" + std::to_string(t.vi) + ", \"RECEIVE\\n\")", 2,
             Needs::answer, [&] { return viPrintf(t.vi, "RECEIVE\n"); }) < 0) {
        abandon();
        return;
    }
    const std::uint64_t token = a.next_token(TokenKind::split);
    const std::string lines = io_test_token_lines(token);
    ViUInt32 written = 0;
    if (a.io(fn_write, t, "viWrite(" + std::to_string(t.vi) + ", " + printable(lines) + ")", 2,
             Needs::answer, [&] {
                 return viWrite(t.vi, reinterpret_cast<ViConstBuf>(lines.data()),
                                static_cast<ViUInt32>(lines.size()), &written);
             }) < 0) {
        abandon();
        return;
    }
    if (a.rng.percent(50)) {
        char buf[256] = {};
        if (a.io(fn_queryf, t, "viQueryf(" + std::to_string(t.vi) + ", \"SEND\\n\", \"%255t\")", 3,
                 Needs::answer, [&] { return viQueryf(t.vi, "SEND\n", "%255t", buf); }) >= 0 &&
            lines != buf) {
            a.violation(
                "no reply is delivered to the wrong query",
                "under the exclusive lock, SEND of " + printable(lines) + " got " + printable(buf));
        }
        return;
    }
    if (set_attribute(a, t, ta_termchar_enabled, VI_TRUE) < 0 ||
        set_attribute(a, t, ta_termchar, '\n') < 0)
        return;
    auto read_line = [&](const std::string& expected, const char* after) {
        unsigned char buf[256];
        ViUInt32 count = 0;
        const ViStatus st = a.io(fn_read, t, "viRead(" + std::to_string(t.vi) + ", 255)", 2,
                                 Needs::answer, [&] { return viRead(t.vi, buf, 255, &count); });
        const std::string got(reinterpret_cast<const char*>(buf), count);
        if (st >= 0 && got != expected) {
            a.violation("no reply is delivered to the wrong query",
                        std::string("under the exclusive lock, viRead ") + after +
                            " with the termination character enabled got " + printable(got) +
                            "; expected " + printable(expected));
        }
        return st;
    };
    const std::string send = "SEND\n";
    if (a.io(fn_write, t, "viWrite(" + std::to_string(t.vi) + ", \"SEND\\n\")", 2, Needs::answer,
             [&] {
                 return viWrite(t.vi, reinterpret_cast<ViConstBuf>(send.data()),
                                static_cast<ViUInt32>(send.size()), &written);
             }) < 0)
        return;
    if (read_line(io_test_first_line(token), "after SEND") < 0)
        return;
    if (a.rng.percent(50)) {
        read_line(lines.substr(io_test_first_line(token).size()), "of the second line");
        return;
    }
    // A new message drops the unread second line, here and in the instrument.
    const int value = static_cast<int>(a.rng.below(256));
    const std::string query = "*ESE " + std::to_string(value) + ";*ESE?\n";
    if (a.io(fn_write, t, "viWrite(" + std::to_string(t.vi) + ", " + printable(query) + ")", 2,
             Needs::answer, [&] {
                 return viWrite(t.vi, reinterpret_cast<ViConstBuf>(query.data()),
                                static_cast<ViUInt32>(query.size()), &written);
             }) < 0)
        return;
    read_line(std::to_string(value) + "\n", "after a new message left a line unread");
}

void locked_work(Actor& a, const Target& t) {
    if (a.worker.instrument(t.instrument).io_test && a.rng.percent(70)) {
        io_test_sequence(a, t);
        return;
    }
    const int steps = 1 + static_cast<int>(a.rng.below(4));
    for (int i = 0; i < steps; ++i) {
        const ViStatus st = a.rng.percent(60) ? split_token_query(a, t, true) : token_query(a, t);
        if (st < 0)
            return;
    }
}

}  // namespace

void op_exclusive_sequence(Actor& a) {
    Target t;
    if (!a.borrow_open(t))
        return;
    const ViUInt32 timeout = a.rng.pick<ViUInt32>({0, 50, 500, 2000, 10000});
    const std::uint32_t kills = a.worker.board().kills.load();
    const std::int64_t started = now_ns();
    const bool device = a.begin_device_lock(t.instrument);
    ViStatus st = a.call(
        fn_lock,
        "viLock(" + std::to_string(t.vi) + ", VI_EXCLUSIVE_LOCK, " + std::to_string(timeout) + ")",
        Actor::fixed(timeout),
        [&] { return viLock(t.vi, VI_EXCLUSIVE_LOCK, timeout, nullptr, nullptr); });
    a.expect(fn_lock, t, st, {VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE, VI_ERROR_TMO});
    a.note_locked(t, VI_EXCLUSIVE_LOCK, st);
    a.end_device_lock_attempt(t, device, st);
    if (st < 0) {
        a.give_back(t.slot);
        return;
    }
    if (st == VI_SUCCESS)
        a.check_hand_over(t, started, kills, "viLock(VI_EXCLUSIVE_LOCK)");
    ViAccessMode state = VI_NO_LOCK;
    st = a.call(
        fn_get_attribute, "viGetAttribute(" + std::to_string(t.vi) + ", VI_ATTR_RSRC_LOCK_STATE)",
        Actor::fixed(0), [&] { return viGetAttribute(t.vi, VI_ATTR_RSRC_LOCK_STATE, &state); });
    a.expect(fn_get_attribute, t, st, {VI_SUCCESS});
    if (st == VI_SUCCESS && state != VI_EXCLUSIVE_LOCK && a.slot(t).holds(t)) {
        a.violation("exclusive means exclusive",
                    "VI_ATTR_RSRC_LOCK_STATE reads " + std::to_string(state) +
                        " in the session that holds the exclusive lock");
    }
    locked_work(a, t);
    a.note_unlocking(t);
    st = a.call(fn_unlock, "viUnlock(" + std::to_string(t.vi) + ")", Actor::fixed(0),
                [&] { return viUnlock(t.vi); });
    a.expect(fn_unlock, t, st, {VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE, VI_SUCCESS_NESTED_SHARED});
    a.note_released(t.instrument);
    a.give_back(t.slot);
}

void op_shared_sequence(Actor& a) {
    Target t;
    if (!a.borrow_open(t))
        return;
    // A key other sessions (in this process or another) may ask for too,
    // or one the library makes.
    std::string requested;
    if (a.rng.percent(60))
        requested =
            "torture-key-" + std::to_string(t.instrument) + "-" + std::to_string(a.rng.below(2));
    const ViUInt32 timeout = a.rng.pick<ViUInt32>({0, 50, 500, 2000});
    const std::uint32_t kills = a.worker.board().kills.load();
    const std::int64_t started = now_ns();
    char key[VI_FIND_BUFLEN] = {};
    ViStatus st =
        a.call(fn_lock,
               "viLock(" + std::to_string(t.vi) + ", VI_SHARED_LOCK, " + std::to_string(timeout) +
                   ", " + (requested.empty() ? "VI_NULL" : requested) + ")",
               Actor::fixed(timeout), [&] {
                   return viLock(t.vi, VI_SHARED_LOCK, timeout,
                                 requested.empty() ? nullptr : requested.c_str(), key);
               });
    // A session holding a shared lock under another key refuses this one.
    a.expect(fn_lock, t, st,
             {VI_SUCCESS, VI_SUCCESS_NESTED_SHARED, VI_ERROR_TMO, VI_ERROR_INV_ACCESS_KEY});
    if (st < 0) {
        a.give_back(t.slot);
        return;
    }
    a.note_locked(t, VI_SHARED_LOCK, st);
    if (st == VI_SUCCESS)
        a.check_hand_over(t, started, kills, "viLock(VI_SHARED_LOCK)");
    if (!requested.empty() && requested != key) {
        a.violation("only the statuses VISA gives for the call",
                    "viLock with the key " + requested + " returned the key " + key);
    }
    token_query(a, t);
    a.note_unlocking(t);
    st = a.call(fn_unlock, "viUnlock(" + std::to_string(t.vi) + ")", Actor::fixed(0),
                [&] { return viUnlock(t.vi); });
    a.expect(fn_unlock, t, st, {VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE, VI_SUCCESS_NESTED_SHARED});
    a.note_released(t.instrument);
    a.give_back(t.slot);
}

}  // namespace torture
