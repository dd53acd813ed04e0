// viStatusDesc: words for a status.
#include "api/status_text.h"

#include <cstdio>
#include <iterator>

#include "entry_point.h"
#include "visa.h"

namespace sgvisa::api {
namespace {

constexpr StatusText kTexts[] = {
    {VI_SUCCESS, "VI_SUCCESS", "Operation completed successfully."},
    {VI_SUCCESS_EVENT_EN, "VI_SUCCESS_EVENT_EN", "The event was already enabled."},
    {VI_SUCCESS_EVENT_DIS, "VI_SUCCESS_EVENT_DIS", "The event was already disabled."},
    {VI_SUCCESS_QUEUE_EMPTY, "VI_SUCCESS_QUEUE_EMPTY", "The event queue was empty."},
    {VI_SUCCESS_TERM_CHAR, "VI_SUCCESS_TERM_CHAR", "The read ended at the termination character."},
    {VI_SUCCESS_MAX_CNT, "VI_SUCCESS_MAX_CNT",
     "The read stored the number of bytes requested; the message goes on."},
    {VI_WARN_QUEUE_OVERFLOW, "VI_WARN_QUEUE_OVERFLOW",
     "The event queue overflowed: events were lost."},
    {VI_WARN_CONFIG_NLOADED, "VI_WARN_CONFIG_NLOADED",
     "The configuration was not loaded: this library keeps none."},
    {VI_SUCCESS_DEV_NPRESENT, "VI_SUCCESS_DEV_NPRESENT",
     "The session is open, but the device is not present."},
    {VI_SUCCESS_QUEUE_NEMPTY, "VI_SUCCESS_QUEUE_NEMPTY", "The event queue still holds events."},
    {VI_WARN_NULL_OBJECT, "VI_WARN_NULL_OBJECT", "The object is VI_NULL: nothing was done."},
    {VI_WARN_NSUP_ATTR_STATE, "VI_WARN_NSUP_ATTR_STATE",
     "The attribute state is valid but not supported by this implementation."},
    {VI_WARN_UNKNOWN_STATUS, "VI_WARN_UNKNOWN_STATUS", "The status code is not known."},
    {VI_WARN_NSUP_BUF, "VI_WARN_NSUP_BUF",
     "The buffer is not supported for this resource: its setting has no effect."},
    {VI_SUCCESS_NESTED_SHARED, "VI_SUCCESS_NESTED_SHARED",
     "The session holds the shared lock more than once."},
    {VI_SUCCESS_NESTED_EXCLUSIVE, "VI_SUCCESS_NESTED_EXCLUSIVE",
     "The session holds the exclusive lock more than once."},
    {VI_SUCCESS_SYNC, "VI_SUCCESS_SYNC", "The asynchronous operation completed synchronously."},
    {VI_ERROR_SYSTEM_ERROR, "VI_ERROR_SYSTEM_ERROR",
     "A system call failed, or an unexpected failure inside the library."},
    {VI_ERROR_INV_OBJECT, "VI_ERROR_INV_OBJECT",
     "The session or object reference is not valid (closed, or never opened)."},
    {VI_ERROR_RSRC_LOCKED, "VI_ERROR_RSRC_LOCKED",
     "Another session holds a lock on the resource that keeps this one out."},
    {VI_ERROR_INV_EXPR, "VI_ERROR_INV_EXPR", "The search expression is not valid."},
    {VI_ERROR_RSRC_NFOUND, "VI_ERROR_RSRC_NFOUND",
     "No resource matches: the instrument is not present, or not known by that name."},
    {VI_ERROR_INV_RSRC_NAME, "VI_ERROR_INV_RSRC_NAME",
     "The resource name is not a valid USB INSTR resource name."},
    {VI_ERROR_INV_ACC_MODE, "VI_ERROR_INV_ACC_MODE", "The access mode is not valid."},
    {VI_ERROR_TMO, "VI_ERROR_TMO",
     "The timeout passed before the operation completed (the instrument did not answer "
     "in time, or a lock was not released in time)."},
    {VI_ERROR_CLOSING_FAILED, "VI_ERROR_CLOSING_FAILED", "The session could not be closed."},
    {VI_ERROR_INV_JOB_ID, "VI_ERROR_INV_JOB_ID", "The job identifier is not valid."},
    {VI_ERROR_NSUP_ATTR, "VI_ERROR_NSUP_ATTR", "The attribute is not supported for this object."},
    {VI_ERROR_NSUP_ATTR_STATE, "VI_ERROR_NSUP_ATTR_STATE", "The attribute cannot take that value."},
    {VI_ERROR_ATTR_READONLY, "VI_ERROR_ATTR_READONLY", "The attribute is read-only."},
    {VI_ERROR_INV_LOCK_TYPE, "VI_ERROR_INV_LOCK_TYPE", "The lock type is not valid."},
    {VI_ERROR_INV_ACCESS_KEY, "VI_ERROR_INV_ACCESS_KEY",
     "The access key is not valid for this resource."},
    {VI_ERROR_INV_EVENT, "VI_ERROR_INV_EVENT", "The event type is not valid for this session."},
    {VI_ERROR_INV_MECH, "VI_ERROR_INV_MECH", "The event mechanism is not valid."},
    {VI_ERROR_HNDLR_NINSTALLED, "VI_ERROR_HNDLR_NINSTALLED",
     "No handler is installed for this event type."},
    {VI_ERROR_INV_HNDLR_REF, "VI_ERROR_INV_HNDLR_REF", "The handler reference is not valid."},
    {VI_ERROR_INV_CONTEXT, "VI_ERROR_INV_CONTEXT", "The event context is not valid."},
    {VI_ERROR_QUEUE_OVERFLOW, "VI_ERROR_QUEUE_OVERFLOW",
     "The event queue is full: the event was lost."},
    {VI_ERROR_NENABLED, "VI_ERROR_NENABLED",
     "The session is not enabled for this event with this mechanism."},
    {VI_ERROR_ABORT, "VI_ERROR_ABORT",
     "The operation was ended early (its session was closed, or it was terminated)."},
    {VI_ERROR_IN_PROGRESS, "VI_ERROR_IN_PROGRESS", "An operation is already in progress."},
    {VI_ERROR_QUEUE_ERROR, "VI_ERROR_QUEUE_ERROR", "The event could not be queued."},
    {VI_ERROR_ALLOC, "VI_ERROR_ALLOC", "Not enough memory for the operation."},
    {VI_ERROR_INV_MASK, "VI_ERROR_INV_MASK", "The buffer mask is not valid."},
    {VI_ERROR_IO, "VI_ERROR_IO",
     "An I/O error: the instrument refused or broke a transfer, or answered out of turn."},
    {VI_ERROR_INV_FMT, "VI_ERROR_INV_FMT", "The format string is not valid."},
    {VI_ERROR_NSUP_FMT, "VI_ERROR_NSUP_FMT",
     "The format string holds a directive this library does not implement."},
    {VI_ERROR_NSUP_MODE, "VI_ERROR_NSUP_MODE", "The mode is not supported."},
    {VI_ERROR_NSUP_OPER, "VI_ERROR_NSUP_OPER",
     "The operation is not supported by this session or instrument."},
    {VI_ERROR_USER_BUF, "VI_ERROR_USER_BUF", "A buffer or pointer argument is not valid."},
    {VI_ERROR_RSRC_BUSY, "VI_ERROR_RSRC_BUSY",
     "The resource is busy: other operations on it did not finish within the timeout."},
    {VI_ERROR_INV_PARAMETER, "VI_ERROR_INV_PARAMETER", "A parameter is not valid."},
    {VI_ERROR_FILE_ACCESS, "VI_ERROR_FILE_ACCESS",
     "An error occurred while trying to open the file."},
    {VI_ERROR_FILE_IO, "VI_ERROR_FILE_IO", "An error occurred while accessing the file."},
    {VI_ERROR_INV_PROT, "VI_ERROR_INV_PROT", "The protocol is not valid."},
    {VI_ERROR_INV_SIZE, "VI_ERROR_INV_SIZE", "The size is not valid."},
    {VI_ERROR_NIMPL_OPER, "VI_ERROR_NIMPL_OPER", "The operation is not implemented."},
    {VI_ERROR_INV_LENGTH, "VI_ERROR_INV_LENGTH", "The length is not valid."},
    {VI_ERROR_INV_MODE, "VI_ERROR_INV_MODE", "The mode is not valid."},
    {VI_ERROR_SESN_NLOCKED, "VI_ERROR_SESN_NLOCKED", "The session holds no lock."},
    {VI_ERROR_NSUP_MECH, "VI_ERROR_NSUP_MECH", "The event mechanism is not supported."},
    {VI_ERROR_CONN_LOST, "VI_ERROR_CONN_LOST",
     "The connection to the instrument was lost (unplugged, or the simulator stopped)."},
    {VI_ERROR_NPERMISSION, "VI_ERROR_NPERMISSION",
     "No permission to use the instrument (its device node, or the bus directory)."},
    {VI_ERROR_SERVER_CERT, "VI_ERROR_SERVER_CERT",
     "The server's certificate could not be verified."},
    {VI_ERROR_SERVER_CERT_UNTRUSTED, "VI_ERROR_SERVER_CERT_UNTRUSTED",
     "The server's certificate does not chain to a trusted certificate authority."},
    {VI_ERROR_SERVER_CERT_EXPIRED, "VI_ERROR_SERVER_CERT_EXPIRED",
     "The server's certificate has expired (or is not valid yet)."},
    {VI_ERROR_SERVER_CERT_REVOKED, "VI_ERROR_SERVER_CERT_REVOKED",
     "The server's certificate has been revoked."},
    {VI_ERROR_SERVER_CERT_INV_SUBJECT, "VI_ERROR_SERVER_CERT_INV_SUBJECT",
     "The server's certificate is not for the host that was named."},
};

}  // namespace

const StatusText* find_status_text(ViStatus status) {
    for (const auto& t : kTexts) {
        if (t.status == status)
            return &t;
    }
    return nullptr;
}

}  // namespace sgvisa::api

SGVISA_EXPORT ViStatus viStatusDesc(ViObject /*vi*/, ViStatus status, ViChar* desc) {
    const sgvisa::api::CallTrace traced("viStatusDesc", [&](sgvisa::api::CallArgs& a) {
        a.hex("status", static_cast<ViUInt32>(status)).out_str("desc", desc);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (desc == nullptr)
            return VI_ERROR_USER_BUF;
        if (const auto* t = sgvisa::api::find_status_text(status)) {
            std::snprintf(desc, VI_FIND_BUFLEN, "%s: %s", t->name, t->description);
            return VI_SUCCESS;
        }
        std::snprintf(desc, VI_FIND_BUFLEN, "Unknown status 0x%08X.",
                      static_cast<unsigned>(status));
        return VI_WARN_UNKNOWN_STATUS;
    });
}
