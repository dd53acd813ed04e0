#include "vxi11_status.h"

#include <string>

#include "proto/vxi11.h"
#include "trace/trace_reason.h"

namespace sgvisa::lan {
namespace {

namespace vxi = sgproto::vxi11;

struct ErrorRow {
    std::int32_t error;
    ViStatus in_operation;
    ViStatus at_open;  // create_link's
};

// A device that is locked is busy at open, as the lock is another link's.
// "Device not accessible", "invalid address" and a syntax error in the
// device name all say that no such device is there. An invalid link is
// one the device forgot (it restarted, or dropped the link): the session
// is lost. "Channel not established" is a service request enabled before
// the interrupt channel was made.
constexpr ErrorRow kRows[] = {
    {vxi::ERR_NONE, VI_SUCCESS, VI_SUCCESS},
    {vxi::ERR_SYNTAX, VI_ERROR_INV_PARAMETER, VI_ERROR_RSRC_NFOUND},
    {vxi::ERR_DEVICE_NOT_ACCESSIBLE, VI_ERROR_IO, VI_ERROR_RSRC_NFOUND},
    {vxi::ERR_INVALID_LINK, VI_ERROR_CONN_LOST, VI_ERROR_RSRC_NFOUND},
    {vxi::ERR_PARAMETER, VI_ERROR_INV_PARAMETER, VI_ERROR_RSRC_NFOUND},
    {vxi::ERR_CHANNEL_NOT_ESTABLISHED, VI_ERROR_INV_SETUP, VI_ERROR_INV_SETUP},
    {vxi::ERR_NOT_SUPPORTED, VI_ERROR_NSUP_OPER, VI_ERROR_NSUP_OPER},
    {vxi::ERR_OUT_OF_RESOURCES, VI_ERROR_IO, VI_ERROR_RSRC_BUSY},
    {vxi::ERR_LOCKED_BY_ANOTHER_LINK, VI_ERROR_RSRC_LOCKED, VI_ERROR_RSRC_LOCKED},
    {vxi::ERR_NO_LOCK_HELD, VI_ERROR_SESN_NLOCKED, VI_ERROR_SESN_NLOCKED},
    {vxi::ERR_IO_TIMEOUT, VI_ERROR_TMO, VI_ERROR_TMO},
    {vxi::ERR_IO_ERROR, VI_ERROR_IO, VI_ERROR_IO},
    {vxi::ERR_INVALID_ADDRESS, VI_ERROR_INV_PARAMETER, VI_ERROR_RSRC_NFOUND},
    {vxi::ERR_ABORT, VI_ERROR_ABORT, VI_ERROR_ABORT},
    {vxi::ERR_CHANNEL_ALREADY_ESTABLISHED, VI_ERROR_INV_SETUP, VI_ERROR_INV_SETUP},
};

const ErrorRow* row(std::int32_t error) {
    for (const ErrorRow& r : kRows) {
        if (r.error == error)
            return &r;
    }
    return nullptr;
}

void note(std::int32_t error) {
    if (error == vxi::ERR_NONE)
        return;
    trace::note_reason([&] {
        return "the instrument answered VXI-11 error " + std::to_string(error) + " (" +
               vxi::error_text(error) + ")";
    });
}

}  // namespace

ViStatus vxi11_status(std::int32_t error) {
    note(error);
    const ErrorRow* r = row(error);
    return r != nullptr ? r->in_operation : VI_ERROR_IO;
}

ViStatus vxi11_open_status(std::int32_t error) {
    note(error);
    const ErrorRow* r = row(error);
    return r != nullptr ? r->at_open : VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa::lan
