// Events: viEnableEvent, viDisableEvent, viDiscardEvents. No event type is
// delivered yet: enabling one is refused, and disabling or discarding any
// (VI_ALL_ENABLED_EVENTS with VI_ALL_MECH included, as clients do when they
// close a session) finds nothing to do.
#include "entry_point.h"
#include "session_table.h"
#include "visa.h"

namespace {

bool valid_mechanism(ViUInt16 mechanism) {
    return mechanism != 0 && (mechanism & ~(VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR)) == 0;
}

ViStatus check(ViSession vi, ViEventType event, ViUInt16 mechanism) {
    if (!sgvisa::SessionTable::global().instrument(vi))
        return VI_ERROR_INV_OBJECT;
    if (mechanism != VI_ALL_MECH && !valid_mechanism(mechanism))
        return VI_ERROR_INV_MECH;
    if (event != VI_ALL_ENABLED_EVENTS && event != VI_EVENT_SERVICE_REQ &&
        event != VI_EVENT_IO_COMPLETION && event != VI_EVENT_EXCEPTION && event != VI_EVENT_CLEAR &&
        event != VI_EVENT_TRIG && event != VI_EVENT_USB_INTR)
        return VI_ERROR_INV_EVENT;
    return VI_SUCCESS;
}

}  // namespace

SGVISA_EXPORT ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism,
                                     ViEventFilter /*context*/) {
    return sgvisa::guarded([&]() -> ViStatus {
        const ViStatus st = check(vi, eventType, mechanism);
        if (st != VI_SUCCESS)
            return st;
        if (eventType == VI_ALL_ENABLED_EVENTS || mechanism == VI_ALL_MECH)
            return VI_ERROR_INV_EVENT;
        return VI_ERROR_NSUP_OPER;
    });
}

SGVISA_EXPORT ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
    return sgvisa::guarded([&]() -> ViStatus {
        const ViStatus st = check(vi, eventType, mechanism);
        return st != VI_SUCCESS ? st : VI_SUCCESS_EVENT_DIS;
    });
}

SGVISA_EXPORT ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
    return sgvisa::guarded([&]() -> ViStatus {
        const ViStatus st = check(vi, eventType, mechanism);
        return st != VI_SUCCESS ? st : VI_SUCCESS_QUEUE_EMPTY;
    });
}
