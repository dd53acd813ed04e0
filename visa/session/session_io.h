// The start of every I/O operation: looks up the instrument session of a
// handle and takes its I/O access under a deadline of the session's
// VI_ATTR_TMO_VALUE from now.
#pragma once

#include <memory>

#include "instrument_session.h"

namespace sgvisa {

struct SessionIo {
    std::shared_ptr<InstrumentSession> session;
    Deadline deadline;
    IoAccess access;
};

// VI_ERROR_INV_OBJECT when `vi` is not an open instrument session; otherwise
// the status of InstrumentSession::begin_io.
ViStatus begin_session_io(ViSession vi, SessionIo& io);

}  // namespace sgvisa
