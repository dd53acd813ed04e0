// Formatted I/O: viPrintf, viScanf, viQueryf and their va_list forms.
//
// viPrintf sends the formatted bytes as one write; when the format ends with
// a linefeed (and VI_ATTR_SEND_END_EN is on) that write ends the message
// (END), otherwise the message goes on with the next write. A formatted
// write discards what the read buffer still holds (see
// formatted_read_buffer.h). viScanf parses from the session's read buffer,
// refilled from the instrument as needed, and leaves what the format did not
// consume there for the next viScanf. viQueryf checks both formats before it
// sends anything, then writes and reads like viPrintf and viScanf, each
// under its own VI_ATTR_TMO_VALUE deadline.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <span>
#include <string>

#include "entry_point.h"
#include "format/format_reader.h"
#include "format/format_writer.h"
#include "session/formatted_io.h"
#include "session/session_io.h"
#include "visa.h"

namespace {

bool ends_message(const char* format) {
    const std::size_t n = std::strlen(format);
    return n > 0 && format[n - 1] == '\n';
}

// With `reply_follows` (viQueryf) a query that ends its message goes with
// the request for its reply, as the formatted read after it will ask for
// it: one read buffer's worth, ending at END only.
ViStatus send(sgvisa::session::SessionIo& io, const std::string& bytes, bool end,
              bool reply_follows = false) {
    io.session->read_buffer().discard();
    end = end && io.settings.send_end;
    if (bytes.empty() && !end)
        return VI_SUCCESS;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::span<const std::uint8_t> message(data, bytes.size());
    if (reply_follows && end)
        return io.transport().write_query(message,
                                          std::max<std::uint32_t>(io.settings.read_buffer_size, 1),
                                          sgvisa::ReadStop{}, io.deadline);
    return io.transport().write(message, end, io.deadline);
}

ViStatus receive(sgvisa::session::SessionIo& io, const sgvisa::format::ReadFormat& format) {
    auto& buffer = io.session->read_buffer();
    buffer.begin_read();
    sgvisa::session::BufferedReadSource source(buffer, io.op, io.settings, io.deadline);
    int assigned = 0;
    const ViStatus st = sgvisa::format::execute_read(format, source, assigned);
    if (io.settings.read_buffer_mode == VI_FLUSH_ON_ACCESS && st >= 0)
        buffer.discard();
    return st;
}

// A copy of `params` that can be passed on by address (a va_list parameter
// has array type on some ABIs, so its address is not a va_list*).
class ArgList {
  public:
    explicit ArgList(va_list params) { va_copy(list_, params); }
    ArgList(const ArgList&) = delete;
    ArgList& operator=(const ArgList&) = delete;
    ~ArgList() { va_end(list_); }
    va_list* get() { return &list_; }

  private:
    va_list list_;
};

}  // namespace

SGVISA_EXPORT ViStatus viVPrintf(ViSession vi, ViConstString writeFmt, ViVAList params) {
    const sgvisa::api::CallTrace traced(
        "viVPrintf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("writeFmt", writeFmt); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        sgvisa::session::SessionIo io;
        ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        ArgList args(params);
        std::string bytes;
        st = sgvisa::format::format_message(writeFmt, args.get(), bytes);
        if (st != VI_SUCCESS)
            return st;
        return send(io, bytes, ends_message(writeFmt));
    });
}

SGVISA_EXPORT ViStatus viPrintf(ViSession vi, ViConstString writeFmt, ...) {
    const sgvisa::api::CallTrace traced(
        "viPrintf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("writeFmt", writeFmt); });
    va_list params;
    va_start(params, writeFmt);
    const ViStatus st = viVPrintf(vi, writeFmt, params);
    va_end(params);
    return st;
}

SGVISA_EXPORT ViStatus viVScanf(ViSession vi, ViConstString readFmt, ViVAList params) {
    const sgvisa::api::CallTrace traced(
        "viVScanf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("readFmt", readFmt); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        sgvisa::session::SessionIo io;
        ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        ArgList args(params);
        sgvisa::format::ReadFormat format;
        st = sgvisa::format::prepare_read(readFmt, args.get(), format);
        if (st != VI_SUCCESS)
            return st;
        return receive(io, format);
    });
}

SGVISA_EXPORT ViStatus viScanf(ViSession vi, ViConstString readFmt, ...) {
    const sgvisa::api::CallTrace traced(
        "viScanf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("readFmt", readFmt); });
    va_list params;
    va_start(params, readFmt);
    const ViStatus st = viVScanf(vi, readFmt, params);
    va_end(params);
    return st;
}

SGVISA_EXPORT ViStatus viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                                 ViVAList params) {
    const sgvisa::api::CallTrace traced("viVQueryf", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).str("writeFmt", writeFmt).str("readFmt", readFmt);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        sgvisa::session::SessionIo io;
        ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        // The write format's arguments come first, then the read format's.
        ArgList args(params);
        std::string bytes;
        st = sgvisa::format::format_message(writeFmt, args.get(), bytes);
        if (st != VI_SUCCESS)
            return st;
        sgvisa::format::ReadFormat format;
        st = sgvisa::format::prepare_read(readFmt, args.get(), format);
        if (st != VI_SUCCESS)
            return st;
        st = send(io, bytes, ends_message(writeFmt), true);
        if (st < 0)
            return st;
        io.restart_deadline();
        return receive(io, format);
    });
}

SGVISA_EXPORT ViStatus viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...) {
    const sgvisa::api::CallTrace traced("viQueryf", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).str("writeFmt", writeFmt).str("readFmt", readFmt);
    });
    va_list params;
    va_start(params, readFmt);
    const ViStatus st = viVQueryf(vi, writeFmt, readFmt, params);
    va_end(params);
    return st;
}
