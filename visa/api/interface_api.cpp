// The operations of buses this library does not serve: GPIB bus control
// (viGpibControlATN, viGpibSendIFC, viGpibCommand, viGpibPassControl), VXI
// (viVxiCommandQuery, viAssertUtilSignal, viAssertIntrSignal), trigger lines
// (viMapTrigger, viUnmapTrigger) and PXI (viPxiReserveTriggers): each is
// VI_ERROR_NSUP_OPER (unserved_operation.h). viGpibControlREN, which USB488
// serves, is in io_api.cpp.
#include "unserved_operation.h"
#include "visa.h"

using sgvisa::api::CallArgs;
using sgvisa::api::unserved;

namespace {

constexpr const char* kGpibBus =
    "GPIB bus control is for a GPIB interface or controller; this library serves USB "
    "instruments (USBTMC, USB488), where viGpibControlREN is the one GPIB operation that "
    "applies; PyVISA's other backends serve GPIB";
constexpr const char* kVxiBus =
    "a VXI, PXI or trigger-line operation; this library serves USB instruments (USBTMC, "
    "USB488) only: use viAssertTrigger for a USB488 trigger";

}  // namespace

SGVISA_EXPORT ViStatus viGpibControlATN(ViSession vi, ViUInt16 mode) {
    return unserved("viGpibControlATN", kGpibBus, vi, [&](CallArgs& a) { a.num("mode", mode); });
}

SGVISA_EXPORT ViStatus viGpibSendIFC(ViSession vi) {
    return unserved("viGpibSendIFC", kGpibBus, vi, [](CallArgs&) {});
}

SGVISA_EXPORT ViStatus viGpibCommand(ViSession vi, ViConstBuf cmd, ViUInt32 cnt, ViPUInt32) {
    return unserved("viGpibCommand", kGpibBus, vi, [&](CallArgs& a) {
        a.buf("cmd", cmd, cmd != nullptr ? cnt : 0).num("cnt", cnt);
    });
}

SGVISA_EXPORT ViStatus viGpibPassControl(ViSession vi, ViUInt16 primAddr, ViUInt16 secAddr) {
    return unserved("viGpibPassControl", kGpibBus, vi,
                    [&](CallArgs& a) { a.num("primAddr", primAddr).num("secAddr", secAddr); });
}

SGVISA_EXPORT ViStatus viVxiCommandQuery(ViSession vi, ViUInt16 mode, ViUInt32 cmd, ViPUInt32) {
    return unserved("viVxiCommandQuery", kVxiBus, vi,
                    [&](CallArgs& a) { a.hex("mode", mode).hex("cmd", cmd); });
}

SGVISA_EXPORT ViStatus viAssertUtilSignal(ViSession vi, ViUInt16 line) {
    return unserved("viAssertUtilSignal", kVxiBus, vi, [&](CallArgs& a) { a.num("line", line); });
}

SGVISA_EXPORT ViStatus viAssertIntrSignal(ViSession vi, ViInt16 mode, ViUInt32 statusID) {
    return unserved("viAssertIntrSignal", kVxiBus, vi,
                    [&](CallArgs& a) { a.num("mode", mode).hex("statusID", statusID); });
}

SGVISA_EXPORT ViStatus viMapTrigger(ViSession vi, ViInt16 trigSrc, ViInt16 trigDest,
                                    ViUInt16 mode) {
    return unserved("viMapTrigger", kVxiBus, vi, [&](CallArgs& a) {
        a.num("trigSrc", trigSrc).num("trigDest", trigDest).num("mode", mode);
    });
}

SGVISA_EXPORT ViStatus viUnmapTrigger(ViSession vi, ViInt16 trigSrc, ViInt16 trigDest) {
    return unserved("viUnmapTrigger", kVxiBus, vi,
                    [&](CallArgs& a) { a.num("trigSrc", trigSrc).num("trigDest", trigDest); });
}

SGVISA_EXPORT ViStatus viPxiReserveTriggers(ViSession vi, ViInt16 cnt, ViAInt16, ViAInt16,
                                            ViPInt16) {
    return unserved("viPxiReserveTriggers", kVxiBus, vi, [&](CallArgs& a) { a.num("cnt", cnt); });
}
