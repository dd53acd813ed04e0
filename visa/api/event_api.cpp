// Events: viEnableEvent, viDisableEvent, viDiscardEvents, viWaitOnEvent,
// viInstallHandler, viUninstallHandler (see session_events.h). A session
// delivers service requests (from a USB488 instrument's interrupt-IN
// endpoint) and the completions of its asynchronous operations; exception
// events may be enabled and handled but none is raised.
#include <cstdio>
#include <string>

#include "entry_point.h"
#include "session/session_table.h"
#include "trace/trace_sink.h"
#include "visa.h"

using sgvisa::session::SessionTable;

namespace {

// The trace's line for events lost because a session's handlers fall
// behind (the queue's loss is viWaitOnEvent's VI_WARN_QUEUE_OVERFLOW).
void note_handler_overflow(ViSession vi, ViEventType type, std::size_t bound) {
    if (!sgvisa::trace::calls_on())
        return;
    std::string line;
    sgvisa::trace::begin_line(line, sgvisa::trace::now_ns());
    char ids[64];
    std::snprintf(ids, sizeof ids, "session 0x%X, event type 0x%08X", static_cast<unsigned>(vi),
                  static_cast<unsigned>(type));
    line += "event overflow: " + std::string(ids) + ": " + std::to_string(bound) +
            " events wait for the handler already (VI_ATTR_MAX_QUEUE_LENGTH); later ones are "
            "lost until it catches up\n";
    sgvisa::trace::write_line(line);
}

}  // namespace

SGVISA_EXPORT ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism,
                                     ViEventFilter /*context*/) {
    const sgvisa::api::CallTrace traced("viEnableEvent", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).hex("eventType", eventType).num("mechanism", mechanism);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        if ((mechanism & VI_HNDLR) != 0) {
            session->events().set_overflow_note([vi](ViEventType type, std::size_t bound) {
                note_handler_overflow(vi, type, bound);
            });
        }
        return session->enable_event(eventType, mechanism);
    });
}

SGVISA_EXPORT ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
    const sgvisa::api::CallTrace traced("viDisableEvent", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).hex("eventType", eventType).num("mechanism", mechanism);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        const ViStatus st = session->disable_event(eventType, mechanism);
        // No handler call starts after this returns: the one in progress
        // ends first (unless this is that handler).
        session->events().await_handler_calls();
        return st;
    });
}

SGVISA_EXPORT ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
    const sgvisa::api::CallTrace traced("viDiscardEvents", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).hex("eventType", eventType).num("mechanism", mechanism);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        return session->events().discard(eventType, mechanism);
    });
}

// The event comes back as an event context for the caller to close, or is
// closed at once when `outContext` is VI_NULL.
SGVISA_EXPORT ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout,
                                     ViPEventType outEventType, ViPEvent outContext) {
    const sgvisa::api::CallTrace traced("viWaitOnEvent", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("inEventType", inEventType)
            .num("timeout", timeout)
            .out_hex("outEventType", outEventType)
            .out_hex("outContext", outContext);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (outEventType != nullptr)
            *outEventType = 0;
        if (outContext != nullptr)
            *outContext = VI_NULL;
        auto& table = SessionTable::global();
        const auto session = table.instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        sgvisa::session::VisaEvent event;
        const ViStatus st =
            session->events().wait(inEventType, sgvisa::deadline_after_ms(timeout), event);
        if (st < 0)
            return st;
        if (outEventType != nullptr)
            *outEventType = event.type;
        if (outContext != nullptr) {
            const ViStatus added =
                table.add_event(session->resource_manager(),
                                std::make_shared<sgvisa::session::VisaEvent>(event), *outContext);
            if (added != VI_SUCCESS)
                return added;
        }
        return st;
    });
}

SGVISA_EXPORT ViStatus viInstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler,
                                        ViAddr userHandle) {
    const sgvisa::api::CallTrace traced("viInstallHandler", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("eventType", eventType)
            .hex("handler", reinterpret_cast<std::uintptr_t>(handler))
            .hex("userHandle", reinterpret_cast<std::uintptr_t>(userHandle));
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        return session->events().install(eventType, handler, userHandle);
    });
}

SGVISA_EXPORT ViStatus viUninstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler,
                                          ViAddr userHandle) {
    const sgvisa::api::CallTrace traced("viUninstallHandler", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("eventType", eventType)
            .hex("handler", reinterpret_cast<std::uintptr_t>(handler))
            .hex("userHandle", reinterpret_cast<std::uintptr_t>(userHandle));
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        const ViStatus st = session->events().uninstall(eventType, handler, userHandle);
        session->events().await_handler_calls();
        return st;
    });
}
