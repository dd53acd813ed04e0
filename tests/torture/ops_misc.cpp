#include <atomic>
#include <string>
#include <thread>

#include "actor.h"
#include "misc_calls.h"
#include "operations.h"

namespace torture {
namespace {

ViAttr attribute_of(TrackedAttribute which) {
    switch (which) {
        case ta_timeout:
            return VI_ATTR_TMO_VALUE;
        case ta_termchar_enabled:
            return VI_ATTR_TERMCHAR_EN;
        default:
            return VI_ATTR_TERMCHAR;
    }
}

const char* attribute_name(TrackedAttribute which) {
    switch (which) {
        case ta_timeout:
            return "VI_ATTR_TMO_VALUE";
        case ta_termchar_enabled:
            return "VI_ATTR_TERMCHAR_EN";
        default:
            return "VI_ATTR_TERMCHAR";
    }
}

// What viGetAttribute gives back for a value set.
ViAttrState read_back(TrackedAttribute which, ViAttrState value) {
    if (which == ta_timeout && value == VI_TMO_IMMEDIATE)
        return 1;  // the library keeps "immediate" as 1 ms
    return value;
}

// Sets begun of the tracked attributes other than `which`.
std::uint32_t writes_of_others(const Slot& s, TrackedAttribute which) {
    std::uint32_t n = 0;
    for (int i = 0; i < kTrackedAttributes; ++i) {
        if (i != which)
            n += Slot::begun(s.attribute_sets[i].load());
    }
    return n;
}

// Whether a thread is setting one of the tracked attributes other than `which`.
bool setting_others(const Slot& s, TrackedAttribute which) {
    for (int i = 0; i < kTrackedAttributes; ++i) {
        if (i != which && Slot::under_way(s.attribute_sets[i].load()) != 0)
            return true;
    }
    return false;
}

}  // namespace

namespace {

// Raises `clean` to `value` unless another clear raised it further.
void raise_to(std::atomic<std::uint32_t>& clean, std::uint32_t value) {
    std::uint32_t seen = clean.load();
    while (seen < value && !clean.compare_exchange_weak(seen, value)) {
    }
}

}  // namespace

ViStatus device_clear(Actor& a, const Target& t) {
    InstrumentBoard& board = a.instrument_board(t.instrument);
    const std::uint32_t kills = a.worker.board().kills.load();
    const std::uint32_t abandoned = board.abandoned.load();
    const ViStatus st = a.io(fn_clear, t, "viClear(" + std::to_string(t.vi) + ")", 2, Needs::answer,
                             [&] { return viClear(t.vi); });
    if (st >= 0) {
        raise_to(board.clean_at_kills, kills);
        raise_to(board.clean_at_abandoned, abandoned);
    }
    return st;
}

ViStatus set_attribute(Actor& a, const Target& t, TrackedAttribute which, ViAttrState value) {
    Slot& s = a.slot(t);
    const ViAttr attr = attribute_of(which);
    const ViAttrState expected = read_back(which, value);
    if (which == ta_timeout)
        s.raise_timeout_max(static_cast<std::uint32_t>(expected));
    const std::uint64_t before = s.begin_set(which);
    const std::uint32_t other_writes = writes_of_others(s, which);
    ViStatus st = a.call(fn_set_attribute,
                         "viSetAttribute(" + std::to_string(t.vi) + ", " + attribute_name(which) +
                             ", " + std::to_string(value) + ")",
                         Actor::fixed(0), [&] { return viSetAttribute(t.vi, attr, value); });
    a.expect(fn_set_attribute, t, st, {VI_SUCCESS});
    if (st == VI_SUCCESS && which == ta_timeout) {
        s.timeout_ms.store(static_cast<std::uint32_t>(expected));
        s.note_timeout_set(a.index, static_cast<std::uint32_t>(expected));
    }
    ViAttrState got = 0;
    ViUInt32 wide = 0;
    ViBoolean flag = 0;
    ViUInt8 byte = 0;
    void* out = which == ta_timeout            ? static_cast<void*>(&wide)
                : which == ta_termchar_enabled ? static_cast<void*>(&flag)
                                               : static_cast<void*>(&byte);
    const ViStatus read =
        a.call(fn_get_attribute,
               "viGetAttribute(" + std::to_string(t.vi) + ", " + attribute_name(which) + ")",
               Actor::fixed(0), [&] { return viGetAttribute(t.vi, attr, out); });
    s.end_set(which);
    a.expect(fn_get_attribute, t, read, {VI_SUCCESS});
    const auto value_read = [&]() -> ViAttrState {
        return which == ta_timeout ? wide : which == ta_termchar_enabled ? flag : byte;
    };
    got = value_read();
    const bool alone = Slot::under_way(before) == 0 &&
                       Slot::begun(s.attribute_sets[which].load()) == Slot::begun(before) + 1;
    if (st == VI_SUCCESS && read == VI_SUCCESS && alone && got != expected) {
        // What else happened to the session meanwhile, for the reader of the report.
        const bool others_set =
            writes_of_others(s, which) != other_writes || setting_others(s, which);
        // Whether the library keeps the value it gave (a write that came
        // late) or gives the set one now (a read that went wrong).
        ViAttrState again = 0;
        wide = 0;
        flag = 0;
        byte = 0;
        if (viGetAttribute(t.vi, attr, out) == VI_SUCCESS)
            again = value_read();
        a.violation("no attribute update is lost",
                    std::string(attribute_name(which)) + " of " + std::to_string(t.vi) + " reads " +
                        std::to_string(got) + " after it was set to " + std::to_string(value) +
                        ", with no other set of it in between (" +
                        (others_set ? "another thread set another attribute of the session"
                                    : "no other attribute of the session was set") +
                        "; the slot " +
                        (s.holds(t) ? "still holds the session" : "has been closed meanwhile") +
                        "); read again at once: " + std::to_string(again) +
                        (which == ta_timeout
                             ? "; the last timeouts set, oldest first: " + s.last_timeout_sets()
                             : ""));
    }
    return st;
}

namespace {

void set_one_attribute(Actor& a, const Target& t) {
    switch (a.rng.below(3)) {
        case 0:
            set_attribute(a, t, ta_timeout,
                          a.rng.pick<ViAttrState>(
                              {VI_TMO_IMMEDIATE, 10, 200, kReliableTimeoutMs, kReliableTimeoutMs}));
            break;
        case 1:
            set_attribute(a, t, ta_termchar_enabled, a.rng.pick<ViAttrState>({VI_TRUE, VI_FALSE}));
            break;
        default:
            set_attribute(a, t, ta_termchar, a.rng.pick<ViAttrState>({'\n', '\r'}));
            break;
    }
}

}  // namespace

// Two threads set different attributes of one session at once: this
// thread the timeout (each read back), a helper the termination character's
// enable, as fast as it can.
void attribute_race(Actor& a, const Target& t) {
    Slot& s = a.slot(t);
    std::atomic<bool> done{false};
    s.begin_set(ta_termchar_enabled);
    a.note("  a helper thread sets VI_ATTR_TERMCHAR_EN of " + std::to_string(t.vi) + " meanwhile");
    std::thread helper([&] {
        for (ViAttrState v = 0; !done.load(); v ^= 1)
            viSetAttribute(t.vi, VI_ATTR_TERMCHAR_EN, v);
    });
    for (int i = 0; i < 50; ++i) {
        if (set_attribute(a, t, ta_timeout,
                          a.rng.pick<ViAttrState>({10, 200, kReliableTimeoutMs})) < 0)
            break;
    }
    done.store(true);
    helper.join();
    s.end_set(ta_termchar_enabled);
}

void op_attributes(Actor& a) {
    Target t;
    if (!a.pick_open(t))
        return;
    // Not on a raw socket (its reads need the termination character, which it enables at its open).
    if (a.link(t) == Link::socket)
        return;
    if (a.rng.percent(20)) {
        attribute_race(a, t);
        return;
    }
    // Sometimes a burst, as a program setting up a session does: two
    // threads' bursts on one session overlap long enough to lose an update.
    const int sets = a.rng.percent(30) ? 10 + static_cast<int>(a.rng.below(20)) : 1;
    for (int i = 0; i < sets; ++i)
        set_one_attribute(a, t);
}

void op_clear(Actor& a) {
    Target t;
    if (a.pick_open(t))
        device_clear(a, t);
}

void op_misc(Actor& a) {
    Target t;
    if (!a.pick_open(t))
        return;
    // Not on a raw socket (no trigger without VI_PROT_4882_STRS, no REN).
    if (a.link(t) == Link::socket)
        return;
    const std::string vi = std::to_string(t.vi);
    switch (a.rng.below(3)) {
        case 0: {
            const ViUInt16 mask =
                a.rng.pick<ViUInt16>({VI_READ_BUF_DISCARD, VI_IO_IN_BUF_DISCARD,
                                      VI_READ_BUF_DISCARD | VI_IO_IN_BUF_DISCARD | VI_WRITE_BUF});
            a.io(fn_flush, t, "viFlush(" + vi + ", " + std::to_string(mask) + ")", 2,
                 Needs::nothing, [&] { return viFlush(t.vi, mask); });
            break;
        }
        case 1:
            a.io(fn_assert_trigger, t, "viAssertTrigger(" + vi + ")", 2, Needs::answer,
                 [&] { return viAssertTrigger(t.vi, VI_TRIG_PROT_DEFAULT); });
            break;
        default: {
            const ViUInt16 mode =
                a.rng.pick<ViUInt16>({VI_GPIB_REN_ASSERT, VI_GPIB_REN_DEASSERT,
                                      VI_GPIB_REN_ASSERT_ADDRESS, VI_GPIB_REN_ADDRESS_GTL});
            a.io(fn_control_ren, t, "viGpibControlREN(" + vi + ", " + std::to_string(mode) + ")", 2,
                 Needs::answer, [&] { return viGpibControlREN(t.vi, mode); });
            break;
        }
    }
}

}  // namespace torture
