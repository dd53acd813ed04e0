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

namespace {

bool speaks_488_strings(const SessionIo& io, ViStatus& refusal) {
    if (!std::holds_alternative<TcpipSocketName>(io.session->name()))
        return false;
    refusal = io.settings.io_protocol == VI_PROT_4882_STRS ? VI_SUCCESS : VI_ERROR_INV_SETUP;
    return true;
}

}  // namespace

ViStatus read_status_byte(SessionIo& io, std::uint8_t& status) {
    ViStatus st = VI_SUCCESS;
    if (!speaks_488_strings(io, st))
        return io.transport().read_status_byte(io.deadline, status);
    if (st != VI_SUCCESS)
        return st;
    static constexpr std::uint8_t kQuery[] = {'*', 'S', 'T', 'B', '?', '\n'};
    st = io.transport().write(kQuery, true, io.deadline);
    if (st != VI_SUCCESS)
        return st;
    // The answer is a number of at most three digits and its newline.
    std::uint8_t answer[16];
    std::size_t got = 0;
    SessionSettings settings = io.settings;
    settings.term_char_enabled = true;
    settings.term_char = '\n';
    st = read_message_bytes(io.op, settings, answer, io.deadline, got);
    if (st < 0)
        return st;
    unsigned value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < got && answer[i] >= '0' && answer[i] <= '9'; ++i, ++digits)
        value = value * 10 + (answer[i] - '0');
    if (digits == 0 || digits > 3 || value > 0xFF)
        return VI_ERROR_IO;  // not a status byte
    status = static_cast<std::uint8_t>(value);
    return VI_SUCCESS;
}

ViStatus assert_trigger(SessionIo& io) {
    ViStatus st = VI_SUCCESS;
    if (!speaks_488_strings(io, st))
        return io.transport().assert_trigger(io.deadline);
    if (st != VI_SUCCESS)
        return st;
    static constexpr std::uint8_t kTrigger[] = {'*', 'T', 'R', 'G', '\n'};
    return io.transport().write(kTrigger, true, io.deadline);
}

}  // namespace sgvisa::session
