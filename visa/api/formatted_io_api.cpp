// Formatted I/O: viPrintf, viScanf, viQueryf and their va_list forms, as
// session/formatted_io.h says. viQueryf checks both formats before it sends
// anything, then writes and reads like viPrintf and viScanf, each under its
// own VI_ATTR_TMO_VALUE deadline.
//
// The string forms (viSPrintf, viSScanf and their va_list forms) run the same
// formats over the caller's string and touch neither the instrument nor the
// session's buffers. viSPrintf's buffer has no size in the C binding, so its
// bound is the session's VI_ATTR_WR_BUF_SIZE (viSetBuf): a result that does
// not fit with its NUL is not stored (VI_ERROR_USER_BUF).
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
#include "session/session_table.h"
#include "trace/trace_reason.h"
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

// A caller's NUL-terminated string as a message whose END is its NUL.
class StringSource final : public sgvisa::format::ReadSource {
  public:
    explicit StringSource(const ViByte* text) : at_(text) {}
    ViStatus peek(std::uint8_t& byte, bool& end_of_message) override {
        end_of_message = *at_ == 0;
        byte = *at_;
        return VI_SUCCESS;
    }
    void consume() override {
        if (*at_ != 0)
            ++at_;
    }
    ViStatus discard_rest() override {
        at_ += std::strlen(reinterpret_cast<const char*>(at_));
        return VI_SUCCESS;
    }

  private:
    const ViByte* at_;
};

}  // namespace

SGVISA_EXPORT ViStatus viVSPrintf(ViSession vi, ViPBuf buf, ViConstString writeFmt,
                                  ViVAList params) {
    const sgvisa::api::CallTrace traced(
        "viVSPrintf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("writeFmt", writeFmt); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = sgvisa::session::SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        if (buf == nullptr)
            return VI_ERROR_USER_BUF;
        ArgList args(params);
        std::string bytes;
        const ViStatus st = sgvisa::format::format_message(writeFmt, args.get(), bytes);
        if (st != VI_SUCCESS)
            return st;
        if (bytes.size() >= session->settings().write_buffer_size) {
            sgvisa::trace::note_reason([&] {
                return "the result (" + std::to_string(bytes.size()) +
                       " bytes and its NUL) is longer than VI_ATTR_WR_BUF_SIZE (" +
                       std::to_string(session->settings().write_buffer_size) + ")";
            });
            return VI_ERROR_USER_BUF;
        }
        std::memcpy(buf, bytes.data(), bytes.size());
        buf[bytes.size()] = 0;
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viSPrintf(ViSession vi, ViPBuf buf, ViConstString writeFmt, ...) {
    const sgvisa::api::CallTrace traced(
        "viSPrintf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("writeFmt", writeFmt); });
    va_list params;
    va_start(params, writeFmt);
    const ViStatus st = viVSPrintf(vi, buf, writeFmt, params);
    va_end(params);
    return st;
}

SGVISA_EXPORT ViStatus viVSScanf(ViSession vi, ViConstBuf buf, ViConstString readFmt,
                                 ViVAList params) {
    const sgvisa::api::CallTrace traced("viVSScanf", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).str("buf", reinterpret_cast<const char*>(buf)).str("readFmt", readFmt);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (!sgvisa::session::SessionTable::global().instrument(vi))
            return VI_ERROR_INV_OBJECT;
        if (buf == nullptr)
            return VI_ERROR_USER_BUF;
        ArgList args(params);
        sgvisa::format::ReadFormat format;
        const ViStatus st = sgvisa::format::prepare_read(readFmt, args.get(), format);
        if (st != VI_SUCCESS)
            return st;
        StringSource source(buf);
        int assigned = 0;
        return sgvisa::format::execute_read(format, source, assigned);
    });
}

SGVISA_EXPORT ViStatus viSScanf(ViSession vi, ViConstBuf buf, ViConstString readFmt, ...) {
    const sgvisa::api::CallTrace traced(
        "viSScanf", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).str("readFmt", readFmt); });
    va_list params;
    va_start(params, readFmt);
    const ViStatus st = viVSScanf(vi, buf, readFmt, params);
    va_end(params);
    return st;
}

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
