// Reading a reply's bytes as viRead does, within one operation: up to the
// END of the message, the termination character when it is enabled, or the
// count, whichever comes first; bytes of a transfer past a termination
// character wait in the connection for the next read (a new message drops
// them: DeviceConnection::Operation::write).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "device_connection.h"
#include "session_settings.h"

namespace sgvisa {

// VI_SUCCESS: the last byte stored carried END (also when it fills `buf`, and
// when it is the termination character);
// VI_SUCCESS_TERM_CHAR: the termination character ended the read before END;
// VI_SUCCESS_MAX_CNT: `buf` is full and the message goes on (the rest stays
// for the next read). With suppress_end, END does not end the read. On an
// error `count` still tells the bytes stored.
ViStatus read_message_bytes(const DeviceConnection::Operation& op, const SessionSettings& settings,
                            std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count);

}  // namespace sgvisa
