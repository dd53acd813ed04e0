// Formatted I/O (viPrintf, viScanf, viQueryf, viBufWrite, viBufRead,
// viFlush, viSetBuf): a session's read and write buffers and the rules that
// govern them.
//
// The read buffer holds the bytes of a reply read from the instrument and
// not yet consumed by a format. What a format leaves unread stays for the
// next formatted read (unless VI_ATTR_RD_BUF_OPER_MODE is
// VI_FLUSH_ON_ACCESS); a formatted write starts a new exchange and discards
// it (the instrument drops an unread reply when a new message begins, so the
// rest could only be stale). A formatted write is one write, which ends the
// message (END) when its format ends with a linefeed and
// VI_ATTR_SEND_END_EN is on; otherwise the message goes on with the next
// write.
//
// The write buffer holds what viBufWrite was given and has not sent yet, at
// most VI_ATTR_WR_BUF_SIZE bytes: it goes out when it is full (without
// END), at the end of each viBufWrite under VI_FLUSH_ON_ACCESS, on
// viFlush(VI_WRITE_BUF) and viSetBuf(VI_WRITE_BUF) (with END when
// VI_ATTR_SEND_END_EN is on), and in front of the next formatted write.
// viPrintf sends what it formatted before it returns, in either mode, so a
// command never waits in the buffer for a later call; its bytes go in
// pieces of VI_ATTR_WR_BUF_SIZE. viClear discards the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "format/format_reader.h"
#include "session/device_connection.h"
#include "session/session_settings.h"

namespace sgvisa::session {

// An allocator whose value-less construct() default-initialises: resize() of
// a std::vector of bytes then leaves the new bytes as they are instead of
// zeroing them. For buffers that a read fills and that are cut back to what
// it brought, so that a large read buffer costs nothing per read.
template <typename T, typename Base = std::allocator<T>>
class DefaultInitAllocator : public Base {
  public:
    template <typename U>
    struct rebind {
        using other =
            DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };

    using Base::Base;

    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<Base>::construct(static_cast<Base&>(*this), p,
                                               std::forward<Args>(args)...);
    }
};

// The bytes of viBufWrite not sent yet (see above).
struct FormattedWriteBuffer {
    std::vector<std::uint8_t> bytes;
};

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
class BufferedReadSource final : public format::ReadSource {
  public:
    BufferedReadSource(FormattedReadBuffer& buffer, const DeviceConnection::Operation& op,
                       const SessionSettings& settings, Deadline deadline);

    ViStatus peek(std::uint8_t& byte, bool& end_of_message) override;
    void consume() override;
    ViStatus discard_rest() override;
    // Copies what the buffer holds; a rest of 4 KiB or more (or of a read
    // buffer, when smaller) goes from the transport straight into `dst`, so
    // a block is copied once whatever its size and VI_ATTR_RD_BUF_SIZE.
    ViStatus read_bytes(std::uint8_t* dst, std::size_t n, std::size_t& got, bool& ended) override;

  private:
    ViStatus fill();

    FormattedReadBuffer& buffer_;
    const DeviceConnection::Operation& op_;
    SessionSettings settings_;
    Deadline deadline_;
    // A raw socket has no END: with the termination character enabled, it
    // ends a message for the format's text (not a block's counted bytes).
    bool term_char_ends_ = false;
    bool end_is_term_char_ = false;  // the last fill ended there
    ViStatus deferred_ = VI_SUCCESS;  // a read failure after some bytes came
};

struct SessionIo;

// Sends `bytes`, made from the write format `format`, within `io`'s
// operation. With `reply_follows` (viQueryf) a query that ends its message
// goes with the request for its reply, as the formatted read after it will
// ask for it: one read buffer's worth, ending at END only.
ViStatus formatted_write(SessionIo& io, const char* format, const std::string& bytes,
                         bool reply_follows = false);

// Reads `format`'s values from the read buffer, refilled from the
// instrument as needed within `io`'s operation.
ViStatus formatted_read(SessionIo& io, const format::ReadFormat& format);

// viBufWrite: takes `data` into the write buffer, sending it as it fills
// (see above). `taken` tells the bytes of `data` taken: on a failure, those
// that were not in the piece that failed.
ViStatus buffered_write(SessionIo& io, std::span<const std::uint8_t> data, std::size_t& taken);

// viBufRead: bytes from the read buffer, refilled from the instrument in
// pieces of VI_ATTR_RD_BUF_SIZE, as viRead gives them: VI_SUCCESS when the
// last byte stored carried END, VI_SUCCESS_TERM_CHAR at the termination
// character (when enabled), VI_SUCCESS_MAX_CNT when `buf` is full and the
// message goes on. What it leaves stays for the next viBufRead or viScanf.
ViStatus buffered_read(SessionIo& io, std::span<std::uint8_t> buf, std::size_t& count);

// viClear: a device clear, which drops the read buffer with the rest of the
// reply (the transport's kept bytes and the instrument's output), and the
// write buffer with it.
ViStatus device_clear(SessionIo& io);

// viSetBuf of the formatted buffers in `mask`: the write buffer is flushed
// and the read buffer discarded before their sizes change.
ViStatus prepare_buffer_resize(SessionIo& io, ViUInt16 mask);

// viFlush of `mask` (checked already): VI_READ_BUF discards the read buffer
// and, when the message in it has not ended, reads and drops the rest of it;
// VI_READ_BUF_DISCARD discards without reading; VI_IO_IN_BUF and
// VI_IO_IN_BUF_DISCARD drop what the transport kept of the reply;
// VI_WRITE_BUF sends the write buffer (END when VI_ATTR_SEND_END_EN is on),
// VI_WRITE_BUF_DISCARD drops it. The instrument's own input buffer is not
// ours to flush, so the VI_IO_OUT_BUF flags have nothing to do.
ViStatus flush_buffers(SessionIo& io, ViUInt16 mask);

}  // namespace sgvisa::session
