// Formatted I/O: viPrintf, viScanf, viQueryf and their va_list forms, as
// session/formatted_io.h says. viQueryf checks both formats before it sends
// anything, then writes and reads like viPrintf and viScanf, each under its
// own VI_ATTR_TMO_VALUE deadline.
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
        return sgvisa::session::formatted_write(io, writeFmt, bytes);
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
        return sgvisa::session::formatted_read(io, format);
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
        st = sgvisa::session::formatted_write(io, writeFmt, bytes, true);
        if (st < 0)
            return st;
        io.restart_deadline();
        return sgvisa::session::formatted_read(io, format);
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
