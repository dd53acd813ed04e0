// Asynchronous I/O: viReadAsync, viWriteAsync, viTerminate. Each operation
// runs on the session's thread for asynchronous jobs and ends with a
// VI_EVENT_IO_COMPLETION event carrying its status, count, buffer, job ID and
// name; the caller's buffer must stay valid until then.
#include <cstdint>
#include <span>

#include "entry_point.h"
#include "session/session_io.h"
#include "session/session_table.h"
#include "visa.h"

namespace {

sgvisa::session::VisaEvent completion(const char* name, ViBuf buf) {
    sgvisa::session::VisaEvent e;
    e.type = VI_EVENT_IO_COMPLETION;
    e.operation_name = name;
    e.buffer = buf;
    return e;
}

// Starts operation `name` on buf/cnt as a job of session `vi`: `body` runs on
// the job thread within the session's I/O and sets the event's status and
// count. A job aborted before it ran completes with VI_ERROR_ABORT.
template <typename Body>
ViStatus start_job(ViSession vi, const char* name, ViBuf buf, ViUInt32 cnt, ViPJobId jobId,
                   Body body) {
    if (jobId != nullptr)
        *jobId = VI_NULL;
    if (buf == nullptr && cnt > 0)
        return VI_ERROR_USER_BUF;
    const auto session = sgvisa::session::SessionTable::global().instrument(vi);
    if (!session || session->closed())
        return VI_ERROR_INV_OBJECT;
    sgvisa::session::VisaEvent aborted = completion(name, buf);
    aborted.status = VI_ERROR_ABORT;
    const ViJobId id = session->jobs().submit(
        [vi, name, buf, body](sgvisa::CancelToken& token) {
            sgvisa::session::VisaEvent done = completion(name, buf);
            sgvisa::session::SessionIo io;
            done.status = sgvisa::session::begin_session_io(vi, io, &token);
            if (done.status == VI_SUCCESS)
                body(io, done);
            return done;
        },
        aborted);
    if (jobId != nullptr)
        *jobId = id;
    return VI_SUCCESS;
}

}  // namespace

SGVISA_EXPORT ViStatus viReadAsync(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPJobId jobId) {
    const sgvisa::api::CallTrace traced("viReadAsync", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("buf", reinterpret_cast<std::uintptr_t>(buf))
            .num("cnt", cnt)
            .out("jobId", jobId);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        return start_job(
            vi, "viReadAsync", buf, cnt, jobId,
            [buf, cnt](sgvisa::session::SessionIo& io, sgvisa::session::VisaEvent& done) {
                std::size_t count = 0;
                done.status = sgvisa::session::read_message_bytes(
                    io.op, io.settings, std::span(buf, cnt), io.deadline, count);
                done.return_count = static_cast<ViUInt32>(count);
            });
    });
}

SGVISA_EXPORT ViStatus viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId) {
    const sgvisa::api::CallTrace traced("viWriteAsync", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).buf("buf", buf, cnt).num("cnt", cnt).out("jobId", jobId);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        auto* data = const_cast<ViBuf>(buf);  // reported back as the event's buffer
        return start_job(
            vi, "viWriteAsync", data, cnt, jobId,
            [data, cnt](sgvisa::session::SessionIo& io, sgvisa::session::VisaEvent& done) {
                done.status = io.transport().write(std::span<const std::uint8_t>(data, cnt),
                                                   io.settings.send_end, io.deadline);
                done.return_count = done.status >= 0 ? cnt : 0;
            });
    });
}

SGVISA_EXPORT ViStatus viTerminate(ViObject vi, ViUInt16 /*degree*/, ViJobId jobId) {
    const sgvisa::api::CallTrace traced(
        "viTerminate", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).num("jobId", jobId); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = sgvisa::session::SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        return session->jobs().terminate(jobId);
    });
}
