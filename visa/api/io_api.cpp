// Basic I/O: viWrite, viRead, viClear, viReadSTB, viFlush, viSetBuf, the
// buffered viBufWrite and viBufRead (session/formatted_io.h), and
// USB488's viAssertTrigger (the TRIGGER message) and viGpibControlREN
// (REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT): VI_ERROR_NSUP_OPER where the
// instrument's capabilities lack the feature.
#include <algorithm>
#include <cstdint>
#include <span>

#include "entry_point.h"
#include "session/formatted_io.h"
#include "session/session_io.h"
#include "session/session_table.h"
#include "visa.h"

using sgvisa::session::SessionIo;

namespace {

// viRead's trace shows the bytes it stored, which only retCnt tells.
void read_args(sgvisa::api::CallArgs& a, ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    a.obj("vi", vi);
    if (retCnt != nullptr)
        a.buf("buf", buf, std::min(*retCnt, cnt));
    else
        a.hex("buf", reinterpret_cast<std::uintptr_t>(buf));
    a.num("cnt", cnt).out("retCnt", retCnt);
}

// The shape every counted transfer of this file shares: retCnt starts at 0, a
// null buffer with a count is the caller's fault, and retCnt ends as the
// bytes `transfer(io, bytes, count)` moved, also when it fails part way.
template <typename Byte, typename Transfer>
ViStatus counted_transfer(ViSession vi, Byte* buf, ViUInt32 cnt, ViPUInt32 retCnt,
                          Transfer transfer) {
    if (retCnt != nullptr)
        *retCnt = 0;
    if (buf == nullptr && cnt > 0)
        return VI_ERROR_USER_BUF;
    SessionIo io;
    const ViStatus st = sgvisa::session::begin_session_io(vi, io);
    if (st != VI_SUCCESS)
        return st;
    std::size_t count = 0;
    const ViStatus moved = transfer(io, std::span<Byte>(buf, cnt), count);
    if (retCnt != nullptr)
        *retCnt = static_cast<ViUInt32>(count);
    return moved;
}

}  // namespace

// Sends `cnt` bytes; with VI_ATTR_SEND_END_EN (the default) they end the
// message (END on the last byte), otherwise the message goes on.
SGVISA_EXPORT ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    const sgvisa::api::CallTrace traced("viWrite", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).buf("buf", buf, cnt).num("cnt", cnt).out("retCnt", retCnt);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        return counted_transfer(
            vi, buf, cnt, retCnt,
            [](SessionIo& io, std::span<const ViByte> bytes, std::size_t& count) {
                const ViStatus st = io.transport().write(bytes, io.settings.send_end, io.deadline);
                if (st >= 0)
                    count = bytes.size();
                return st;
            });
    });
}

// Reads until END (VI_SUCCESS), the termination character when enabled
// (VI_SUCCESS_TERM_CHAR) or until `cnt` bytes are stored (VI_SUCCESS_MAX_CNT;
// the rest stays for the next read).
SGVISA_EXPORT ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    const sgvisa::api::CallTrace traced(
        "viRead", [&](sgvisa::api::CallArgs& a) { read_args(a, vi, buf, cnt, retCnt); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        return counted_transfer(vi, buf, cnt, retCnt,
                                [](SessionIo& io, std::span<ViByte> bytes, std::size_t& count) {
                                    return sgvisa::session::read_message_bytes(
                                        io.op, io.settings, bytes, io.deadline, count);
                                });
    });
}

// viWrite into the formatted write buffer, which viPrintf shares; see
// session/formatted_io.h for when it goes out.
SGVISA_EXPORT ViStatus viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    const sgvisa::api::CallTrace traced("viBufWrite", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).buf("buf", buf, cnt).num("cnt", cnt).out("retCnt", retCnt);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        return counted_transfer(
            vi, buf, cnt, retCnt,
            [](SessionIo& io, std::span<const ViByte> bytes, std::size_t& count) {
                return sgvisa::session::buffered_write(io, bytes, count);
            });
    });
}

// viRead from the formatted read buffer, which viScanf shares.
SGVISA_EXPORT ViStatus viBufRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    const sgvisa::api::CallTrace traced(
        "viBufRead", [&](sgvisa::api::CallArgs& a) { read_args(a, vi, buf, cnt, retCnt); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        return counted_transfer(vi, buf, cnt, retCnt,
                                [](SessionIo& io, std::span<ViByte> bytes, std::size_t& count) {
                                    return sgvisa::session::buffered_read(io, bytes, count);
                                });
    });
}

// Device clear; the session's formatted buffers go too.
SGVISA_EXPORT ViStatus viClear(ViSession vi) {
    const sgvisa::api::CallTrace traced("viClear",
                                        [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        SessionIo io;
        const ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return sgvisa::session::device_clear(io);
    });
}

SGVISA_EXPORT ViStatus viReadSTB(ViSession vi, ViPUInt16 status) {
    const sgvisa::api::CallTrace traced(
        "viReadSTB", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).out_hex("status", status); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (status == nullptr)
            return VI_ERROR_USER_BUF;
        SessionIo io;
        ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        std::uint8_t stb = 0;
        st = sgvisa::session::read_status_byte(io, stb);
        if (st == VI_SUCCESS)
            *status = stb;
        return st;
    });
}

// The formatted I/O buffers and what the transport kept of a reply
// (session/formatted_io.h). The low-level output buffer of a USB instrument
// is the instrument's own.
SGVISA_EXPORT ViStatus viFlush(ViSession vi, ViUInt16 mask) {
    const sgvisa::api::CallTrace traced(
        "viFlush", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).hex("mask", mask); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        constexpr ViUInt16 kKnown = VI_READ_BUF | VI_WRITE_BUF | VI_READ_BUF_DISCARD |
                                    VI_WRITE_BUF_DISCARD | VI_IO_IN_BUF | VI_IO_OUT_BUF |
                                    VI_IO_IN_BUF_DISCARD | VI_IO_OUT_BUF_DISCARD;
        // Two flags for one buffer contradict each other.
        if (mask == 0 || (mask & ~kKnown) != 0 ||
            ((mask & VI_READ_BUF) && (mask & VI_READ_BUF_DISCARD)) ||
            ((mask & VI_WRITE_BUF) && (mask & VI_WRITE_BUF_DISCARD)))
            return VI_ERROR_INV_MASK;
        SessionIo io;
        const ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return sgvisa::session::flush_buffers(io, mask);
    });
}

SGVISA_EXPORT ViStatus viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size) {
    const sgvisa::api::CallTrace traced("viSetBuf", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).hex("mask", mask).num("size", size);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = sgvisa::session::SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        constexpr ViUInt16 kKnown = VI_READ_BUF | VI_WRITE_BUF | VI_IO_IN_BUF | VI_IO_OUT_BUF;
        if (mask == 0 || (mask & ~kKnown) != 0)
            return VI_ERROR_INV_MASK;
        if (size == 0)
            return VI_ERROR_INV_SIZE;
        if (mask & (VI_READ_BUF | VI_WRITE_BUF)) {
            // What the buffers hold goes first: the write buffer's bytes to
            // the instrument, the read buffer's away.
            SessionIo io;
            ViStatus st = sgvisa::session::begin_session_io(vi, io);
            if (st == VI_SUCCESS)
                st = sgvisa::session::prepare_buffer_resize(io, mask);
            if (st < 0)
                return st;
        }
        session->change_settings([&](sgvisa::session::SessionSettings& settings) {
            if (mask & VI_READ_BUF)
                settings.read_buffer_size = size;
            if (mask & VI_WRITE_BUF)
                settings.write_buffer_size = size;
            return VI_SUCCESS;
        });
        return (mask & (VI_IO_IN_BUF | VI_IO_OUT_BUF)) ? VI_WARN_NSUP_BUF : VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol) {
    const sgvisa::api::CallTrace traced("viAssertTrigger", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).num("protocol", protocol);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (protocol != VI_TRIG_PROT_DEFAULT)
            return VI_ERROR_INV_PROT;
        sgvisa::session::SessionIo io;
        const ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return sgvisa::session::assert_trigger(io);
    });
}

SGVISA_EXPORT ViStatus viGpibControlREN(ViSession vi, ViUInt16 mode) {
    const sgvisa::api::CallTrace traced(
        "viGpibControlREN", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).num("mode", mode); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (mode > VI_GPIB_REN_ADDRESS_GTL)
            return VI_ERROR_INV_MODE;
        sgvisa::session::SessionIo io;
        const ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return io.transport().control_remote(mode, io.deadline);
    });
}
