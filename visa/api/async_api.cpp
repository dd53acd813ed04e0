// Asynchronous I/O: viReadAsync, viWriteAsync, viTerminate. Each operation
// runs on the session's thread for asynchronous jobs and ends with a
// VI_EVENT_IO_COMPLETION event carrying its status, count, buffer, job ID and
// name; the caller's buffer must stay valid until then.
#include <span>

#include "entry_point.h"
#include "message_read.h"
#include "session_io.h"
#include "session_table.h"
#include "visa.h"

namespace {

sgvisa::VisaEvent completion(const char* name, ViBuf buf) {
    sgvisa::VisaEvent e;
    e.type = VI_EVENT_IO_COMPLETION;
    e.operation_name = name;
    e.buffer = buf;
    return e;
}

}  // namespace

SGVISA_EXPORT ViStatus viReadAsync(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPJobId jobId) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (jobId != nullptr)
            *jobId = VI_NULL;
        if (buf == nullptr && cnt > 0)
            return VI_ERROR_USER_BUF;
        const auto session = sgvisa::SessionTable::global().instrument(vi);
        if (!session || session->closed())
            return VI_ERROR_INV_OBJECT;
        sgvisa::VisaEvent aborted = completion("viReadAsync", buf);
        aborted.status = VI_ERROR_ABORT;
        const ViJobId id = session->jobs().submit(
            [vi, buf, cnt] {
                sgvisa::VisaEvent done = completion("viReadAsync", buf);
                sgvisa::SessionIo io;
                done.status = sgvisa::begin_session_io(vi, io);
                if (done.status != VI_SUCCESS)
                    return done;
                std::size_t count = 0;
                done.status = sgvisa::read_message_bytes(io.op, io.settings, std::span(buf, cnt),
                                                         io.deadline, count);
                done.return_count = static_cast<ViUInt32>(count);
                return done;
            },
            aborted);
        if (jobId != nullptr)
            *jobId = id;
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (jobId != nullptr)
            *jobId = VI_NULL;
        if (buf == nullptr && cnt > 0)
            return VI_ERROR_USER_BUF;
        const auto session = sgvisa::SessionTable::global().instrument(vi);
        if (!session || session->closed())
            return VI_ERROR_INV_OBJECT;
        auto* data = const_cast<ViBuf>(buf);  // reported back as the event's buffer
        sgvisa::VisaEvent aborted = completion("viWriteAsync", data);
        aborted.status = VI_ERROR_ABORT;
        const ViJobId id = session->jobs().submit(
            [vi, data, cnt] {
                sgvisa::VisaEvent done = completion("viWriteAsync", data);
                sgvisa::SessionIo io;
                done.status = sgvisa::begin_session_io(vi, io);
                if (done.status != VI_SUCCESS)
                    return done;
                done.status = io.transport().write(std::span<const std::uint8_t>(data, cnt),
                                                   io.settings.send_end, io.deadline);
                done.return_count = done.status >= 0 ? cnt : 0;
                return done;
            },
            aborted);
        if (jobId != nullptr)
            *jobId = id;
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viTerminate(ViObject vi, ViUInt16 /*degree*/, ViJobId jobId) {
    return sgvisa::guarded([&]() -> ViStatus {
        const auto session = sgvisa::SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        return session->jobs().terminate(jobId);
    });
}
