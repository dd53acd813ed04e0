#include "session_io.h"

#include "session_table.h"

namespace sgvisa {

SessionIo::~SessionIo() {
    op = DeviceConnection::Operation();
    if (session)
        session->forget(*token);
}

ViStatus begin_session_io(ViSession vi, SessionIo& io, CancelToken* token) {
    if (token != nullptr)
        io.token = token;
    io.session = SessionTable::global().instrument(vi);
    if (!io.session)
        return VI_ERROR_INV_OBJECT;
    io.settings = io.session->settings();
    const ViStatus st =
        io.session->begin(*io.token, deadline_after_ms(io.settings.timeout_ms), io.op);
    if (st != VI_SUCCESS)
        return st;
    io.restart_deadline();
    return VI_SUCCESS;
}

}  // namespace sgvisa
