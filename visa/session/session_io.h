// The start of every I/O operation: looks up the instrument session of a
// handle and starts an operation on its connection. The operation waits for
// others (this process's threads, other processes) within the session's
// VI_ATTR_TMO_VALUE, then gets the whole timeout again for the instrument:
// VI_ERROR_TMO is the instrument's, VI_ERROR_RSRC_BUSY the wait's.
#pragma once

#include <memory>

#include "instrument_session.h"

namespace sgvisa {

struct SessionIo {
    SessionIo() = default;
    SessionIo(const SessionIo&) = delete;
    SessionIo& operator=(const SessionIo&) = delete;
    // Ends the operation; the token is no longer the session's.
    ~SessionIo();

    std::shared_ptr<InstrumentSession> session;
    SessionSettings settings;
    Deadline deadline;  // for the instrument, from when the operation started
    CancelToken own_token;
    CancelToken* token = &own_token;  // what the operation's waits block on
    DeviceConnection::Operation op;

    Transport& transport() const { return op.transport(); }
    // A fresh instrument deadline (the second half of viQueryf).
    void restart_deadline() { deadline = deadline_after_ms(settings.timeout_ms); }
};

// VI_ERROR_INV_OBJECT when `vi` is not an open instrument session; otherwise
// the status of InstrumentSession::begin. The operation's waits block on
// `token` when given (an asynchronous job's), else on the SessionIo's own.
ViStatus begin_session_io(ViSession vi, SessionIo& io, CancelToken* token = nullptr);

}  // namespace sgvisa
