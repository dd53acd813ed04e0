// The formatted I/O read buffer of a session (viScanf, viQueryf): the bytes
// of a reply read from the instrument and not yet consumed by a format. What
// a format leaves unread stays for the next formatted read; a formatted
// write starts a new exchange and discards it (the instrument drops an
// unread reply when a new message begins, so the rest could only be stale).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
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

  private:
    ViStatus fill();

    FormattedReadBuffer& buffer_;
    const DeviceConnection::Operation& op_;
    SessionSettings settings_;
    Deadline deadline_;
    ViStatus deferred_ = VI_SUCCESS;  // a read failure after some bytes came
};

}  // namespace sgvisa::session
