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
    // Formatted reads end at END only: the termination character is for
    // viRead. But where there is no END (a raw socket), the termination
    // character, when enabled, is the only end a message has.
    const auto* lan = std::get_if<LanFacts>(&op_.transport().facts());
    term_char_ends_ = settings_.term_char_enabled && lan != nullptr && lan->is_socket;
    settings_.term_char_enabled = term_char_ends_;
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
    end_is_term_char_ = st == VI_SUCCESS_TERM_CHAR;
    buffer_.last_has_end = st == VI_SUCCESS || end_is_term_char_;
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
            if (buffer_.empty() && buffer_.last_has_end) {
                if (end_is_term_char_)
                    buffer_.last_has_end = false;  // a block's bytes go on past a line end
                else
                    buffer_.message_done = true;
            }
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

std::size_t write_piece_size(const SessionSettings& settings) {
    return std::max<std::uint32_t>(settings.write_buffer_size, 1);
}

// Sends `data` in pieces of the write buffer's size, the last with `end`;
// with `reply_follows` that last piece goes with the request for the reply
// (see formatted_write). A write starts a new exchange: the read buffer's
// rest is stale.
ViStatus send_pieces(SessionIo& io, std::span<const std::uint8_t> data, bool end,
                     bool reply_follows) {
    io.session->read_buffer().discard();
    const std::size_t piece = write_piece_size(io.settings);
    while (data.size() > piece) {
        const ViStatus st = io.transport().write(data.first(piece), false, io.deadline);
        if (st < 0)
            return st;
        data = data.subspan(piece);
    }
    if (reply_follows && end)
        return io.transport().write_query(data,
                                          std::max<std::uint32_t>(io.settings.read_buffer_size, 1),
                                          ReadStop{}, io.deadline);
    return io.transport().write(data, end, io.deadline);
}

// Sends and empties the write buffer.
ViStatus send_write_buffer(SessionIo& io, bool end) {
    auto& pending = io.session->write_buffer().bytes;
    if (pending.empty() && !end)
        return VI_SUCCESS;
    std::vector<std::uint8_t> bytes;
    bytes.swap(pending);  // gone whatever the write does: part may have gone
    return send_pieces(io, bytes, end, false);
}

}  // namespace

ViStatus formatted_write(SessionIo& io, const char* format, const std::string& bytes,
                         bool reply_follows) {
    io.session->read_buffer().discard();
    const bool end = ends_message(format) && io.settings.send_end;
    auto& pending = io.session->write_buffer().bytes;
    if (bytes.empty() && !end && pending.empty())
        return VI_SUCCESS;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (pending.empty())
        return send_pieces(io, std::span<const std::uint8_t>(data, bytes.size()), end,
                           reply_follows);
    // What viBufWrite left goes first, in the same message.
    std::vector<std::uint8_t> message;
    message.swap(pending);
    message.insert(message.end(), data, data + bytes.size());
    return send_pieces(io, message, end, reply_follows);
}

ViStatus buffered_write(SessionIo& io, std::span<const std::uint8_t> data, std::size_t& taken) {
    auto& pending = io.session->write_buffer().bytes;
    const std::size_t size = write_piece_size(io.settings);
    taken = 0;
    while (taken < data.size()) {
        // A buffer made under a larger VI_ATTR_WR_BUF_SIZE cannot be: viSetBuf
        // flushes it first.
        const std::size_t room = size > pending.size() ? size - pending.size() : 0;
        const std::size_t n = std::min(room, data.size() - taken);
        pending.insert(pending.end(), data.begin() + static_cast<std::ptrdiff_t>(taken),
                       data.begin() + static_cast<std::ptrdiff_t>(taken + n));
        taken += n;
        if (pending.size() >= size) {
            const std::size_t ours = std::min(pending.size(), taken);
            const ViStatus st = send_write_buffer(io, false);
            if (st < 0) {
                taken -= ours;
                return st;
            }
        }
    }
    if (io.settings.write_buffer_mode == VI_FLUSH_ON_ACCESS && !pending.empty()) {
        const std::size_t ours = std::min(pending.size(), taken);
        const ViStatus st = send_write_buffer(io, io.settings.send_end);
        if (st < 0) {
            taken -= ours;
            return st;
        }
    }
    return VI_SUCCESS;
}

ViStatus buffered_read(SessionIo& io, std::span<std::uint8_t> buf, std::size_t& count) {
    auto& buffer = io.session->read_buffer();
    buffer.begin_read();
    BufferedReadSource source(buffer, io.op, io.settings, io.deadline);
    count = 0;
    ViStatus result = VI_SUCCESS_MAX_CNT;
    while (count < buf.size()) {
        std::uint8_t first = 0;
        bool end_of_message = false;
        const ViStatus st = source.peek(first, end_of_message);
        if (st < 0)
            return st;
        if (end_of_message) {
            result = VI_SUCCESS;
            break;
        }
        const std::uint8_t* from = buffer.bytes.data() + buffer.pos;
        std::size_t n = std::min(buffer.bytes.size() - buffer.pos, buf.size() - count);
        bool term = false;
        if (io.settings.term_char_enabled) {
            if (const void* at = std::memchr(from, io.settings.term_char, n)) {
                n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - from) + 1;
                term = true;
            }
        }
        std::copy_n(from, n, buf.begin() + static_cast<std::ptrdiff_t>(count));
        count += n;
        buffer.pos += n;
        if (buffer.empty() && buffer.last_has_end) {
            buffer.message_done = true;
            result = VI_SUCCESS;  // END wins, as in viRead
            break;
        }
        if (term) {
            result = VI_SUCCESS_TERM_CHAR;
            break;
        }
    }
    if (io.settings.read_buffer_mode == VI_FLUSH_ON_ACCESS)
        buffer.discard();
    return result;
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
    io.session->write_buffer().bytes.clear();
    return io.transport().clear(io.deadline);
}

ViStatus prepare_buffer_resize(SessionIo& io, ViUInt16 mask) {
    ViStatus st = VI_SUCCESS;
    if (mask & VI_WRITE_BUF)
        st = send_write_buffer(io,
                               io.settings.send_end && !io.session->write_buffer().bytes.empty());
    if (mask & VI_READ_BUF)
        io.session->read_buffer().discard();
    return st;
}

ViStatus flush_buffers(SessionIo& io, ViUInt16 mask) {
    if (mask & VI_WRITE_BUF_DISCARD)
        io.session->write_buffer().bytes.clear();
    if (mask & VI_WRITE_BUF) {
        const ViStatus st = send_write_buffer(
            io, io.settings.send_end && !io.session->write_buffer().bytes.empty());
        if (st < 0)
            return st;
    }
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
