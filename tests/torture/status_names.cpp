#include "status_names.h"

#include <cstdio>

namespace torture {

const char* function_name(int function) {
    static const char* const names[kFunctionCount] = {"viOpenDefaultRM",  "viOpen",
                                                      "viClose",          "viLock",
                                                      "viUnlock",         "viQueryf",
                                                      "viPrintf",         "viWrite",
                                                      "viRead",           "viReadSTB",
                                                      "viClear",          "viFlush",
                                                      "viSetAttribute",   "viGetAttribute",
                                                      "viEnableEvent",    "viDisableEvent",
                                                      "viDiscardEvents",  "viWaitOnEvent",
                                                      "viInstallHandler", "viUninstallHandler",
                                                      "viReadAsync",      "viWriteAsync",
                                                      "viTerminate",      "viAssertTrigger",
                                                      "viGpibControlREN", "fork+viClose in child"};
    return function >= 0 && function < kFunctionCount ? names[function] : "?";
}

StatusClass status_class(ViStatus st) {
    switch (st) {
        case VI_SUCCESS:
            return sc_success;
        case VI_ERROR_TMO:
            return sc_tmo;
        case VI_ERROR_RSRC_LOCKED:
            return sc_rsrc_locked;
        case VI_ERROR_RSRC_BUSY:
            return sc_rsrc_busy;
        case VI_ERROR_ABORT:
            return sc_abort;
        case VI_ERROR_INV_OBJECT:
            return sc_inv_object;
        case VI_ERROR_IO:
            return sc_io;
        case VI_ERROR_CONN_LOST:
            return sc_conn_lost;
        default:
            return st > 0 ? sc_warning : sc_other;
    }
}

const char* status_class_name(int cls) {
    static const char* const names[kStatusClassCount] = {
        "success", "warning", "TMO", "RSRC_LOCKED", "RSRC_BUSY",
        "ABORT",   "INV_OBJ", "IO",  "CONN_LOST",   "other"};
    return cls >= 0 && cls < kStatusClassCount ? names[cls] : "?";
}

std::string status_name(ViStatus st) {
    struct Name {
        ViStatus status;
        const char* name;
    };
    static const Name names[] = {
        {VI_SUCCESS, "VI_SUCCESS"},
        {VI_SUCCESS_EVENT_EN, "VI_SUCCESS_EVENT_EN"},
        {VI_SUCCESS_EVENT_DIS, "VI_SUCCESS_EVENT_DIS"},
        {VI_SUCCESS_QUEUE_EMPTY, "VI_SUCCESS_QUEUE_EMPTY"},
        {VI_SUCCESS_TERM_CHAR, "VI_SUCCESS_TERM_CHAR"},
        {VI_SUCCESS_MAX_CNT, "VI_SUCCESS_MAX_CNT"},
        {VI_WARN_QUEUE_OVERFLOW, "VI_WARN_QUEUE_OVERFLOW"},
        {VI_WARN_CONFIG_NLOADED, "VI_WARN_CONFIG_NLOADED"},
        {VI_SUCCESS_QUEUE_NEMPTY, "VI_SUCCESS_QUEUE_NEMPTY"},
        {VI_WARN_NULL_OBJECT, "VI_WARN_NULL_OBJECT"},
        {VI_SUCCESS_NESTED_SHARED, "VI_SUCCESS_NESTED_SHARED"},
        {VI_SUCCESS_NESTED_EXCLUSIVE, "VI_SUCCESS_NESTED_EXCLUSIVE"},
        {VI_ERROR_SYSTEM_ERROR, "VI_ERROR_SYSTEM_ERROR"},
        {VI_ERROR_INV_OBJECT, "VI_ERROR_INV_OBJECT"},
        {VI_ERROR_RSRC_LOCKED, "VI_ERROR_RSRC_LOCKED"},
        {VI_ERROR_RSRC_NFOUND, "VI_ERROR_RSRC_NFOUND"},
        {VI_ERROR_TMO, "VI_ERROR_TMO"},
        {VI_ERROR_CLOSING_FAILED, "VI_ERROR_CLOSING_FAILED"},
        {VI_ERROR_INV_JOB_ID, "VI_ERROR_INV_JOB_ID"},
        {VI_ERROR_INV_LOCK_TYPE, "VI_ERROR_INV_LOCK_TYPE"},
        {VI_ERROR_INV_ACCESS_KEY, "VI_ERROR_INV_ACCESS_KEY"},
        {VI_ERROR_INV_EVENT, "VI_ERROR_INV_EVENT"},
        {VI_ERROR_HNDLR_NINSTALLED, "VI_ERROR_HNDLR_NINSTALLED"},
        {VI_ERROR_INV_HNDLR_REF, "VI_ERROR_INV_HNDLR_REF"},
        {VI_ERROR_NENABLED, "VI_ERROR_NENABLED"},
        {VI_ERROR_ABORT, "VI_ERROR_ABORT"},
        {VI_ERROR_IN_PROGRESS, "VI_ERROR_IN_PROGRESS"},
        {VI_ERROR_ALLOC, "VI_ERROR_ALLOC"},
        {VI_ERROR_IO, "VI_ERROR_IO"},
        {VI_ERROR_INV_FMT, "VI_ERROR_INV_FMT"},
        {VI_ERROR_NSUP_OPER, "VI_ERROR_NSUP_OPER"},
        {VI_ERROR_RSRC_BUSY, "VI_ERROR_RSRC_BUSY"},
        {VI_ERROR_INV_PARAMETER, "VI_ERROR_INV_PARAMETER"},
        {VI_ERROR_SESN_NLOCKED, "VI_ERROR_SESN_NLOCKED"},
        {VI_ERROR_CONN_LOST, "VI_ERROR_CONN_LOST"},
        {VI_ERROR_NPERMISSION, "VI_ERROR_NPERMISSION"},
    };
    for (const Name& n : names) {
        if (n.status == st)
            return n.name;
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(st));
    return hex;
}

}  // namespace torture
