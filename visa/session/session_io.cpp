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

namespace {

// Stores what the connection kept from an earlier transfer; true when that
// ends the read (`status` tells how).
bool take_rest(DeviceConnection& c, const SessionSettings& s, std::span<std::uint8_t> buf,
               std::size_t& count, bool& end_hit, bool& term_hit) {
    auto& rest = c.read_rest();
    if (rest.empty())
        return false;
    std::size_t n = std::min(rest.size(), buf.size() - count);
    if (s.term_char_enabled) {
        const auto it =
            std::find(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), s.term_char);
        if (it != rest.begin() + static_cast<std::ptrdiff_t>(n)) {
            n = static_cast<std::size_t>(it - rest.begin()) + 1;
            term_hit = true;
        }
    }
    std::copy_n(rest.begin(), n, buf.begin() + static_cast<std::ptrdiff_t>(count));
    count += n;
    rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
    if (rest.empty() && c.read_rest_end()) {
        end_hit = true;
        c.read_rest_end() = false;
    }
    return true;
}

}  // namespace

ViStatus read_message_bytes(const DeviceConnection::Operation& op, const SessionSettings& s,
                            std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count) {
    count = 0;
    if (buf.empty())
        return VI_SUCCESS_MAX_CNT;
    DeviceConnection& c = op.connection();
    Transport& t = op.transport();
    ReadStop stop;
    stop.term_char_enabled = s.term_char_enabled;
    stop.term_char = s.term_char;
    for (;;) {
        bool end_hit = false;
        bool term_hit = false;
        if (!take_rest(c, s, buf, count, end_hit, term_hit)) {
            const std::size_t start = count;
            ReadResult r;
            const ViStatus st = t.read(buf.subspan(start), stop, deadline, r);
            if (st < 0)
                return st;
            const std::size_t n = std::min(r.count, buf.size() - start);
            count += n;
            end_hit = r.end;
            term_hit = r.term_char;
            if (s.term_char_enabled && !term_hit) {
                // The instrument does not stop at the termination character:
                // find it here and keep what follows for the next read.
                const auto first = buf.begin() + static_cast<std::ptrdiff_t>(start);
                const auto last = first + static_cast<std::ptrdiff_t>(n);
                const auto it = std::find(first, last, s.term_char);
                if (it != last) {
                    term_hit = true;
                    c.read_rest().assign(it + 1, last);
                    c.read_rest_end() = end_hit && it + 1 != last;
                    end_hit = end_hit && it + 1 == last;
                    count = static_cast<std::size_t>(it + 1 - buf.begin());
                }
            }
            if (n == 0 && !end_hit && !term_hit && Clock::now() >= deadline)
                return VI_ERROR_TMO;
        }
        // END on the termination character itself is the end of the message.
        if (end_hit && !s.suppress_end)
            return VI_SUCCESS;
        if (term_hit)
            return VI_SUCCESS_TERM_CHAR;
        if (count == buf.size())
            return VI_SUCCESS_MAX_CNT;
    }
}

}  // namespace sgvisa::session
