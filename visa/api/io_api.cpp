// Unformatted I/O: viWrite, viRead, viClear.
#include <algorithm>
#include <span>

#include "entry_point.h"
#include "session_io.h"
#include "visa.h"

using sgvisa::SessionIo;

// Sends `cnt` bytes as one complete message (ended with END).
SGVISA_EXPORT ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (retCnt != nullptr)
            *retCnt = 0;
        if (buf == nullptr && cnt > 0)
            return VI_ERROR_USER_BUF;
        SessionIo io;
        ViStatus st = sgvisa::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        st = io.access.transport->write(std::span<const std::uint8_t>(buf, cnt), true, io.deadline);
        if (st >= 0 && retCnt != nullptr)
            *retCnt = cnt;
        return st;
    });
}

// Reads until END (VI_SUCCESS) or until `cnt` bytes are stored
// (VI_SUCCESS_MAX_CNT; the rest stays for the next read).
SGVISA_EXPORT ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (retCnt != nullptr)
            *retCnt = 0;
        if (buf == nullptr && cnt > 0)
            return VI_ERROR_USER_BUF;
        SessionIo io;
        ViStatus st = sgvisa::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        if (cnt == 0)
            return VI_SUCCESS_MAX_CNT;
        ViUInt32 got = 0;
        while (true) {
            std::size_t count = 0;
            bool end = false;
            st = io.access.transport->read(std::span<std::uint8_t>(buf + got, cnt - got),
                                           io.deadline, count, end);
            if (st < 0)
                break;
            got += static_cast<ViUInt32>(std::min<std::size_t>(count, cnt - got));
            if (end) {
                st = VI_SUCCESS;
                break;
            }
            if (got == cnt) {
                st = VI_SUCCESS_MAX_CNT;
                break;
            }
            if (count == 0 && sgvisa::Clock::now() >= io.deadline) {
                st = VI_ERROR_TMO;
                break;
            }
        }
        if (retCnt != nullptr)
            *retCnt = got;
        return st;
    });
}

SGVISA_EXPORT ViStatus viClear(ViSession vi) {
    return sgvisa::guarded([&]() -> ViStatus {
        SessionIo io;
        const ViStatus st = sgvisa::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return io.access.transport->clear(io.deadline);
    });
}
