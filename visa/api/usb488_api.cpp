// USB488 operations: viAssertTrigger (the TRIGGER message) and
// viGpibControlREN (REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT).
// VI_ERROR_NSUP_OPER where the instrument's capabilities lack the feature.
#include "entry_point.h"
#include "session_io.h"
#include "traced_call.h"
#include "visa.h"

SGVISA_EXPORT ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol) {
    const sgvisa::CallTrace traced(
        "viAssertTrigger", [&](sgvisa::CallArgs& a) { a.obj("vi", vi).num("protocol", protocol); });
    return sgvisa::guarded([&]() -> ViStatus {
        if (protocol != VI_TRIG_PROT_DEFAULT)
            return VI_ERROR_INV_PROT;
        sgvisa::SessionIo io;
        const ViStatus st = sgvisa::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return io.transport().assert_trigger(io.deadline);
    });
}

SGVISA_EXPORT ViStatus viGpibControlREN(ViSession vi, ViUInt16 mode) {
    const sgvisa::CallTrace traced("viGpibControlREN",
                                   [&](sgvisa::CallArgs& a) { a.obj("vi", vi).num("mode", mode); });
    return sgvisa::guarded([&]() -> ViStatus {
        if (mode > VI_GPIB_REN_ADDRESS_GTL)
            return VI_ERROR_INV_MODE;
        sgvisa::SessionIo io;
        const ViStatus st = sgvisa::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return io.transport().control_remote(mode, io.deadline);
    });
}
