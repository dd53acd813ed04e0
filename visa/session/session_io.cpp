#include "session_io.h"

#include "session_table.h"

namespace sgvisa {

ViStatus begin_session_io(ViSession vi, SessionIo& io) {
    io.session = SessionTable::global().instrument(vi);
    if (!io.session)
        return VI_ERROR_INV_OBJECT;
    io.deadline = deadline_after_ms(io.session->timeout_ms());
    return io.session->begin_io(io.deadline, io.access);
}

}  // namespace sgvisa
