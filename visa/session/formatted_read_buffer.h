// The formatted I/O read buffer of a session (viScanf, viQueryf): the bytes
// of a reply read from the instrument and not yet consumed by a format. What
// a format leaves unread stays for the next formatted read; a formatted
// write starts a new exchange and discards it (the instrument drops an
// unread reply when a new message begins, so the rest could only be stale).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "default_init_allocator.h"
#include "device_connection.h"
#include "format_reader.h"
#include "session_settings.h"

namespace sgvisa {

struct FormattedReadBuffer {
    // Sized to the read buffer for each read and cut back to what came; not
    // zeroed in between, however large VI_ATTR_RD_BUF_SIZE is.
    std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>> bytes;
    std::size_t pos = 0;
    bool last_has_end = false;  // the last byte of `bytes` carried END
    bool message_done = false;  // that byte has been consumed

    bool empty() const { return pos == bytes.size(); }
    // Called as a formatted read starts: after a message whose END was
    // consumed, the next one begins.
    void begin_read() {
        if (message_done)
            discard();
    }
    void discard() {
        bytes.clear();
        pos = 0;
        last_has_end = false;
        message_done = false;
    }
};

// A ReadSource over a session's read buffer, refilled from the instrument in
// chunks of the session's VI_ATTR_RD_BUF_SIZE within one operation.
class BufferedReadSource final : public ReadSource {
  public:
    BufferedReadSource(FormattedReadBuffer& buffer, const DeviceConnection::Operation& op,
                       const SessionSettings& settings, Deadline deadline);

    ViStatus peek(std::uint8_t& byte, bool& end_of_message) override;
    void consume() override;
    ViStatus discard_rest() override;

  private:
    ViStatus fill();

    FormattedReadBuffer& buffer_;
    const DeviceConnection::Operation& op_;
    SessionSettings settings_;
    Deadline deadline_;
    ViStatus deferred_ = VI_SUCCESS;  // a read failure after some bytes came
};

}  // namespace sgvisa
