// A session's I/O operation: its start, which looks up the instrument
// session of a handle and starts an operation on its connection, and
// reading a reply's bytes within it as viRead does. The operation waits for
// others (this process's threads, other processes) within the session's
// VI_ATTR_TMO_VALUE, then gets the whole timeout again for the instrument:
// VI_ERROR_TMO is the instrument's, VI_ERROR_RSRC_BUSY the wait's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "session/device_connection.h"
#include "session/instrument_session.h"
#include "session/session_settings.h"

namespace sgvisa::session {

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

// Reads a reply's bytes as viRead does: up to the END of the message, the
// termination character when it is enabled, or the count, whichever comes
// first (what the transport took past the count or the termination
// character waits there for the next read).
// VI_SUCCESS: the last byte stored carried END (also when it fills `buf`, and
// when it is the termination character);
// VI_SUCCESS_TERM_CHAR: the termination character ended the read before END;
// VI_SUCCESS_MAX_CNT: `buf` is full and the message goes on (the rest stays
// for the next read). With suppress_end, END does not end the read. On an
// error `count` still tells the bytes stored.
ViStatus read_message_bytes(const DeviceConnection::Operation& op, const SessionSettings& settings,
                            std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count);

// viReadSTB and viAssertTrigger. A raw socket carries neither: with
// VI_ATTR_IO_PROT set to VI_PROT_4882_STRS they are the IEEE 488.2 strings
// "*STB?" (whose answer is read as the status byte) and "*TRG"; without it
// they are VI_ERROR_INV_SETUP. Other resources ask the transport.
ViStatus read_status_byte(SessionIo& io, std::uint8_t& status);
ViStatus assert_trigger(SessionIo& io);

}  // namespace sgvisa::session
