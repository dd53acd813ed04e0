#include "session/formatted_io.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "session/session_io.h"

namespace sgvisa::session {

BufferedReadSource::BufferedReadSource(FormattedReadBuffer& buffer,
                                       const DeviceConnection::Operation& op,
                                       const SessionSettings& settings, Deadline deadline)
    : buffer_(buffer), op_(op), settings_(settings), deadline_(deadline) {
    // Formatted reads end at END only: the termination character is for viRead.
    settings_.term_char_enabled = false;
    settings_.suppress_end = false;
}

ViStatus BufferedReadSource::fill() {
    if (deferred_ < 0)
        return deferred_;
    // A message begins after the one whose END was consumed.
    buffer_.discard();
    buffer_.bytes.resize(std::max<std::uint32_t>(settings_.read_buffer_size, 1));
    std::size_t count = 0;
    const ViStatus st = read_message_bytes(op_, settings_, buffer_.bytes, deadline_, count);
    buffer_.bytes.resize(count);
    if (st < 0) {
        // What came before the failure is still the reply's: the format gets
        // it, and the failure when it wants more.
        if (count == 0)
            return st;
        deferred_ = st;
        return VI_SUCCESS;
    }
    buffer_.last_has_end = st == VI_SUCCESS;
    if (count == 0 && buffer_.last_has_end)
        buffer_.message_done = true;  // an empty message
    return VI_SUCCESS;
}

ViStatus BufferedReadSource::peek(std::uint8_t& byte, bool& end_of_message) {
    end_of_message = false;
    if (buffer_.message_done) {
        end_of_message = true;
        return VI_SUCCESS;
    }
    if (buffer_.empty()) {
        const ViStatus st = fill();
        if (st < 0)
            return st;
        if (buffer_.message_done) {
            end_of_message = true;
            return VI_SUCCESS;
        }
    }
    byte = buffer_.bytes[buffer_.pos];
    return VI_SUCCESS;
}

void BufferedReadSource::consume() {
    if (buffer_.empty())
        return;
    ++buffer_.pos;
    if (buffer_.empty() && buffer_.last_has_end)
        buffer_.message_done = true;
}

ViStatus BufferedReadSource::discard_rest() {
    while (!buffer_.message_done) {
        if (!buffer_.empty()) {
            buffer_.pos = buffer_.bytes.size();
            if (buffer_.last_has_end) {
                buffer_.message_done = true;
                break;
            }
        }
        const ViStatus st = fill();
        if (st < 0)
            return st;
    }
    return VI_SUCCESS;
}

ViStatus BufferedReadSource::read_bytes(std::uint8_t* dst, std::size_t n, std::size_t& got,
                                        bool& ended) {
    got = 0;
    ended = false;
    // Past a page's worth (or a read buffer's, when smaller) the bytes go
    // straight into `dst`: through the buffer they would be copied twice.
    constexpr std::size_t kDirectFrom = 4096;
    const std::size_t direct_from =
        std::min<std::size_t>(std::max<std::uint32_t>(settings_.read_buffer_size, 1), kDirectFrom);
    while (got < n) {
        if (buffer_.message_done) {
            ended = true;
            break;
        }
        if (!buffer_.empty()) {
            const std::size_t take = std::min(buffer_.bytes.size() - buffer_.pos, n - got);
            std::memcpy(dst + got, buffer_.bytes.data() + buffer_.pos, take);
            buffer_.pos += take;
            got += take;
            if (buffer_.empty() && buffer_.last_has_end)
                buffer_.message_done = true;
            continue;
        }
        if (n - got < direct_from || deferred_ < 0) {
            const ViStatus st = fill();
            if (st < 0)
                return st;
            continue;
        }
        buffer_.discard();
        std::size_t count = 0;
        const ViStatus st =
            read_message_bytes(op_, settings_, std::span(dst + got, n - got), deadline_, count);
        got += count;
        if (st < 0)
            return st;
        if (st == VI_SUCCESS) {
            buffer_.last_has_end = true;
            buffer_.message_done = true;
        }
    }
    return VI_SUCCESS;
}

namespace {

bool ends_message(const char* format) {
    const std::size_t n = std::strlen(format);
    return n > 0 && format[n - 1] == '\n';
}

}  // namespace

ViStatus formatted_write(SessionIo& io, const char* format, const std::string& bytes,
                         bool reply_follows) {
    io.session->read_buffer().discard();
    const bool end = ends_message(format) && io.settings.send_end;
    if (bytes.empty() && !end)
        return VI_SUCCESS;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::span<const std::uint8_t> message(data, bytes.size());
    if (reply_follows && end)
        return io.transport().write_query(message,
                                          std::max<std::uint32_t>(io.settings.read_buffer_size, 1),
                                          ReadStop{}, io.deadline);
    return io.transport().write(message, end, io.deadline);
}

ViStatus formatted_read(SessionIo& io, const format::ReadFormat& format) {
    auto& buffer = io.session->read_buffer();
    buffer.begin_read();
    BufferedReadSource source(buffer, io.op, io.settings, io.deadline);
    int assigned = 0;
    const ViStatus st = format::execute_read(format, source, assigned);
    if (io.settings.read_buffer_mode == VI_FLUSH_ON_ACCESS && st >= 0)
        buffer.discard();
    return st;
}

ViStatus device_clear(SessionIo& io) {
    io.session->read_buffer().discard();
    return io.transport().clear(io.deadline);
}

ViStatus flush_buffers(SessionIo& io, ViUInt16 mask) {
    auto& buffer = io.session->read_buffer();
    if (mask & VI_READ_BUF) {
        const bool unfinished = !buffer.empty() && !buffer.last_has_end;
        if (unfinished) {
            BufferedReadSource source(buffer, io.op, io.settings, io.deadline);
            const ViStatus drained = source.discard_rest();
            buffer.discard();
            return drained;
        }
        buffer.discard();
    }
    if (mask & VI_READ_BUF_DISCARD)
        buffer.discard();
    if (mask & (VI_IO_IN_BUF | VI_IO_IN_BUF_DISCARD))
        io.transport().discard_unread();
    return VI_SUCCESS;
}

}  // namespace sgvisa::session
