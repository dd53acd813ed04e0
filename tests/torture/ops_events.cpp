#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "actor.h"
#include "operations.h"

namespace torture {
namespace {

// What a handler saw: its calls, and calls whose event context did not
// read as the event it was called for.
struct HandlerCalls {
    std::mutex mutex;
    std::condition_variable called;
    std::uint64_t count = 0;
    std::uint64_t wrong_context = 0;
};

// One per thread (for the service request round trip) and one for the
// process (for handlers installed by toggling): they live as long as the
// process, so a call that comes late finds them.
HandlerCalls g_thread_handlers[kMaxThreads];
HandlerCalls g_process_handler;

ViStatus _VI_FUNCH count_call(ViSession, ViEventType type, ViEvent context, ViAddr user) {
    auto* calls = static_cast<HandlerCalls*>(user);
    ViEventType seen = 0;
    const ViStatus st = viGetAttribute(context, VI_ATTR_EVENT_TYPE, &seen);
    {
        std::lock_guard lock(calls->mutex);
        ++calls->count;
        if (st != VI_SUCCESS || seen != type)
            ++calls->wrong_context;
    }
    calls->called.notify_all();
    return VI_SUCCESS;
}

std::uint64_t calls_so_far(HandlerCalls& calls) {
    std::lock_guard lock(calls.mutex);
    return calls.count;
}

void close_context(Actor& a, const Target& t, ViEvent context) {
    if (context == VI_NULL)
        return;
    const ViStatus st = a.call(fn_close, "viClose(event " + std::to_string(context) + ")",
                               Actor::fixed(0), [&] { return viClose(context); });
    a.expect(fn_close, t, st, {VI_SUCCESS});
}

}  // namespace

void op_read_stb(Actor& a) {
    Target t;
    // A status byte may be read from a session another thread borrowed.
    if (!a.pick_open(t, true))
        return;
    // Not on a raw socket (it has no status byte without VI_PROT_4882_STRS).
    if (a.link(t) == Link::socket)
        return;
    // Sometimes back to back, as a program polling the status byte does.
    const int reads = a.rng.percent(30) ? 5 + static_cast<int>(a.rng.below(6)) : 1;
    for (int i = 0; i < reads; ++i) {
        ViUInt16 stb = 0;
        const ViStatus st = a.io(fn_read_stb, t, "viReadSTB(" + std::to_string(t.vi) + ")", 2,
                                 Needs::answer, [&] { return viReadSTB(t.vi, &stb); });
        if (st < 0)
            return;
    }
}

void op_toggle_events(Actor& a) {
    Target t;
    if (!a.pick_open(t))
        return;
    // Not on a raw socket (it has no service requests).
    if (a.link(t) == Link::socket)
        return;
    const std::string vi = std::to_string(t.vi);
    switch (a.rng.below(6)) {
        case 0: {
            const ViStatus st = a.call(
                fn_enable_event, "viEnableEvent(" + vi + ", SERVICE_REQ, VI_QUEUE)",
                a.service_request_bound(t.instrument),
                [&] { return viEnableEvent(t.vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL); });
            a.expect(fn_enable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_EN});
            break;
        }
        case 1: {
            const ViUInt16 mechanism = a.rng.pick<ViUInt16>({VI_QUEUE, VI_ALL_MECH});
            const ViStatus st =
                a.call(fn_disable_event,
                       "viDisableEvent(" + vi + ", SERVICE_REQ, " + std::to_string(mechanism) + ")",
                       a.service_request_bound(t.instrument),
                       [&] { return viDisableEvent(t.vi, VI_EVENT_SERVICE_REQ, mechanism); });
            a.expect(fn_disable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_DIS});
            break;
        }
        case 2: {
            const ViStatus st =
                a.call(fn_discard_events, "viDiscardEvents(" + vi + ", SERVICE_REQ, VI_QUEUE)",
                       a.service_request_bound(t.instrument),
                       [&] { return viDiscardEvents(t.vi, VI_EVENT_SERVICE_REQ, VI_QUEUE); });
            a.expect(fn_discard_events, t, st, {VI_SUCCESS, VI_SUCCESS_QUEUE_EMPTY});
            break;
        }
        case 3: {
            const ViUInt32 timeout = a.rng.pick<ViUInt32>({0, 10, 100});
            ViEventType type = 0;
            ViEvent context = VI_NULL;
            const ViStatus st = a.call(
                fn_wait_on_event,
                "viWaitOnEvent(" + vi + ", SERVICE_REQ, " + std::to_string(timeout) + ")",
                Actor::fixed(timeout), [&] {
                    return viWaitOnEvent(t.vi, VI_EVENT_SERVICE_REQ, timeout, &type, &context);
                });
            a.expect(fn_wait_on_event, t, st,
                     {VI_SUCCESS, VI_SUCCESS_QUEUE_NEMPTY, VI_WARN_QUEUE_OVERFLOW, VI_ERROR_TMO,
                      VI_ERROR_NENABLED});
            if (st >= 0)
                close_context(a, t, context);
            break;
        }
        case 4: {
            ViStatus st = a.call(fn_install_handler, "viInstallHandler(" + vi + ", SERVICE_REQ)",
                                 a.service_request_bound(t.instrument), [&] {
                                     return viInstallHandler(t.vi, VI_EVENT_SERVICE_REQ, count_call,
                                                             &g_process_handler);
                                 });
            a.expect(fn_install_handler, t, st, {VI_SUCCESS});
            st = a.call(fn_enable_event, "viEnableEvent(" + vi + ", SERVICE_REQ, VI_HNDLR)",
                        a.service_request_bound(t.instrument), [&] {
                            return viEnableEvent(t.vi, VI_EVENT_SERVICE_REQ, VI_HNDLR, VI_NULL);
                        });
            // Another thread may have taken the handler away meanwhile.
            a.expect(fn_enable_event, t, st,
                     {VI_SUCCESS, VI_SUCCESS_EVENT_EN, VI_ERROR_HNDLR_NINSTALLED});
            break;
        }
        default: {
            ViStatus st =
                a.call(fn_disable_event, "viDisableEvent(" + vi + ", SERVICE_REQ, VI_HNDLR)",
                       a.service_request_bound(t.instrument),
                       [&] { return viDisableEvent(t.vi, VI_EVENT_SERVICE_REQ, VI_HNDLR); });
            a.expect(fn_disable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_DIS});
            st = a.call(fn_uninstall_handler, "viUninstallHandler(" + vi + ", SERVICE_REQ, any)",
                        a.service_request_bound(t.instrument), [&] {
                            return viUninstallHandler(t.vi, VI_EVENT_SERVICE_REQ, VI_ANY_HNDLR,
                                                      nullptr);
                        });
            a.expect(fn_uninstall_handler, t, st, {VI_SUCCESS, VI_ERROR_INV_HNDLR_REF});
            break;
        }
    }
    std::lock_guard lock(g_process_handler.mutex);
    if (g_process_handler.wrong_context != 0) {
        g_process_handler.wrong_context = 0;
        a.violation("a handler's event context is the event it was called for",
                    "viGetAttribute(context, VI_ATTR_EVENT_TYPE) in a service request handler "
                    "did not read VI_EVENT_SERVICE_REQ");
    }
}

// Under the exclusive lock, so that no other session's message clears the
// event status before the request is made: a request for service made
// while the session waits for one must reach it, through the queue or a
// handler, and the status byte then shows the event summary bit.
void op_service_request(Actor& a) {
    Target t;
    if (!a.borrow_open(t))
        return;
    // Not on a raw socket: it has no service requests.
    if (a.link(t) == Link::socket) {
        a.give_back(t.slot);
        return;
    }
    const std::string vi = std::to_string(t.vi);
    const bool device = a.begin_device_lock(t.instrument);
    ViStatus st = a.call(fn_lock, "viLock(" + vi + ", VI_EXCLUSIVE_LOCK, 2000)", Actor::fixed(2000),
                         [&] { return viLock(t.vi, VI_EXCLUSIVE_LOCK, 2000, nullptr, nullptr); });
    a.expect(fn_lock, t, st, {VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE, VI_ERROR_TMO});
    a.note_locked(t, VI_EXCLUSIVE_LOCK, st);
    a.end_device_lock_attempt(t, device, st);
    if (st < 0) {
        a.give_back(t.slot);
        return;
    }
    const bool by_handler = a.rng.percent(40);
    HandlerCalls& calls = g_thread_handlers[a.index];
    bool ready = true;
    if (by_handler) {
        st = a.call(fn_install_handler, "viInstallHandler(" + vi + ", SERVICE_REQ)",
                    a.service_request_bound(t.instrument), [&] {
                        return viInstallHandler(t.vi, VI_EVENT_SERVICE_REQ, count_call, &calls);
                    });
        a.expect(fn_install_handler, t, st, {VI_SUCCESS});
        ready = st == VI_SUCCESS;
    }
    const ViUInt16 mechanism = by_handler ? VI_HNDLR : VI_QUEUE;
    if (ready) {
        st = a.call(
            fn_enable_event,
            "viEnableEvent(" + vi + ", SERVICE_REQ, " + (by_handler ? "VI_HNDLR)" : "VI_QUEUE)"),
            a.service_request_bound(t.instrument),
            [&] { return viEnableEvent(t.vi, VI_EVENT_SERVICE_REQ, mechanism, VI_NULL); });
        a.expect(fn_enable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_EN});
        ready = st >= 0;
    }
    if (ready && !by_handler) {
        st = a.call(fn_discard_events, "viDiscardEvents(" + vi + ", SERVICE_REQ, VI_QUEUE)",
                    a.service_request_bound(t.instrument),
                    [&] { return viDiscardEvents(t.vi, VI_EVENT_SERVICE_REQ, VI_QUEUE); });
        a.expect(fn_discard_events, t, st, {VI_SUCCESS, VI_SUCCESS_QUEUE_EMPTY});
    }
    const std::uint64_t handled_before = calls_so_far(calls);
    if (ready) {
        st = a.io(fn_printf, t, "viPrintf(" + vi + ", \"*CLS;*ESE 1;*SRE 32;*OPC\\n\")", 2,
                  Needs::answer, [&] { return viPrintf(t.vi, "*CLS;*ESE 1;*SRE 32;*OPC\n"); });
        ready = st >= 0;
    }
    if (ready && !by_handler) {
        ViEventType type = 0;
        ViEvent context = VI_NULL;
        st = a.call(
            fn_wait_on_event, "viWaitOnEvent(" + vi + ", SERVICE_REQ, 2000)", Actor::fixed(2000),
            [&] { return viWaitOnEvent(t.vi, VI_EVENT_SERVICE_REQ, 2000, &type, &context); });
        if (st == VI_ERROR_TMO && a.slot(t).holds(t) && !a.instrument_dirty(t.instrument)) {
            a.violation("a request for service reaches the session waiting for it",
                        "no VI_EVENT_SERVICE_REQ within 2000 ms of *OPC with *ESE 1 and *SRE 32");
        } else {
            a.expect(fn_wait_on_event, t, st,
                     {VI_SUCCESS, VI_SUCCESS_QUEUE_NEMPTY, VI_WARN_QUEUE_OVERFLOW, VI_ERROR_TMO});
        }
        if (st >= 0)
            close_context(a, t, context);
    }
    if (ready && by_handler) {
        const std::uint64_t wait_entry = a.log.begin("(waits 2000 ms for the handler's call)");
        std::unique_lock lock(calls.mutex);
        const bool called = calls.called.wait_for(lock, std::chrono::milliseconds(2000),
                                                  [&] { return calls.count > handled_before; });
        const bool wrong = calls.wrong_context != 0;
        calls.wrong_context = 0;
        lock.unlock();
        a.log.end(wait_entry, called ? VI_SUCCESS : VI_ERROR_TMO, 0);
        if (!called && a.slot(t).holds(t) && !a.instrument_dirty(t.instrument)) {
            a.violation(
                "a request for service reaches the session waiting for it",
                "the handler was not called within 2000 ms of *OPC with *ESE 1 and *SRE 32");
        }
        if (wrong) {
            a.violation("a handler's event context is the event it was called for",
                        "viGetAttribute(context, VI_ATTR_EVENT_TYPE) in a service request handler "
                        "did not read VI_EVENT_SERVICE_REQ");
        }
    }
    if (ready) {
        ViUInt16 stb = 0;
        st = a.io(fn_read_stb, t, "viReadSTB(" + vi + ")", 2, Needs::answer,
                  [&] { return viReadSTB(t.vi, &stb); });
        if (st >= 0 && (stb & 0x20) == 0 && a.slot(t).holds(t) &&
            !a.instrument_dirty(t.instrument)) {
            a.violation("no reply is delivered to the wrong query",
                        "the status byte read " + std::to_string(stb) +
                            " under the exclusive lock after *ESE 1 and *OPC: the event summary "
                            "bit (32) is off");
        }
    }
    st = a.call(fn_disable_event, "viDisableEvent(" + vi + ", SERVICE_REQ, VI_ALL_MECH)",
                a.service_request_bound(t.instrument),
                [&] { return viDisableEvent(t.vi, VI_EVENT_SERVICE_REQ, VI_ALL_MECH); });
    a.expect(fn_disable_event, t, st, {VI_SUCCESS, VI_SUCCESS_EVENT_DIS});
    if (by_handler) {
        st = a.call(fn_uninstall_handler, "viUninstallHandler(" + vi + ", SERVICE_REQ)",
                    a.service_request_bound(t.instrument), [&] {
                        return viUninstallHandler(t.vi, VI_EVENT_SERVICE_REQ, count_call, &calls);
                    });
        a.expect(fn_uninstall_handler, t, st, {VI_SUCCESS, VI_ERROR_INV_HNDLR_REF});
    }
    a.note_unlocking(t);
    st = a.call(fn_unlock, "viUnlock(" + vi + ")", Actor::fixed(0), [&] { return viUnlock(t.vi); });
    a.expect(fn_unlock, t, st, {VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE, VI_SUCCESS_NESTED_SHARED});
    a.note_released(t.instrument);
    a.give_back(t.slot);
}

}  // namespace torture
