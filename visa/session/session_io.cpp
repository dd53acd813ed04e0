#include "session/session_io.h"

#include <algorithm>

#include "session/session_table.h"

namespace sgvisa::session {

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

ViStatus read_message_bytes(const DeviceConnection::Operation& op, const SessionSettings& s,
                            std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count) {
    count = 0;
    if (buf.empty())
        return VI_SUCCESS_MAX_CNT;
    Transport& t = op.transport();
    ReadStop stop;
    stop.term_char_enabled = s.term_char_enabled;
    stop.term_char = s.term_char;
    for (;;) {
        ReadResult r;
        const ViStatus st = t.read(buf.subspan(count), stop, deadline, r);
        if (st < 0)
            return st;
        const std::size_t n = std::min(r.count, buf.size() - count);
        count += n;
        if (n == 0 && !r.end && !r.term_char && Clock::now() >= deadline)
            return VI_ERROR_TMO;
        // END on the termination character itself is the end of the message.
        if (r.end && !s.suppress_end)
            return VI_SUCCESS;
        if (r.term_char)
            return VI_SUCCESS_TERM_CHAR;
        if (count == buf.size())
            return VI_SUCCESS_MAX_CNT;
    }
}

}  // namespace sgvisa::session
