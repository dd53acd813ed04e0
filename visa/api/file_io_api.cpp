// viReadToFile and viWriteFromFile: viRead into a file and viWrite from one.
// The file is opened and closed within the call, and the bytes pass through
// a buffer of kFileChunk bytes however large the count, so a call of 4 GiB
// costs no more memory than one of 4 KiB. A file that cannot be opened is
// VI_ERROR_FILE_ACCESS, one that fails to read or write VI_ERROR_FILE_IO,
// each with the system's words in the trace; retCnt tells the bytes that
// went between the instrument and the file (those read from the instrument
// and written to the file, or read from the file and sent).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "entry_point.h"
#include "session/session_io.h"
#include "trace/trace_reason.h"
#include "visa.h"

namespace {

// The bytes one step moves between the instrument and the file.
constexpr std::size_t kFileChunk = 64 * 1024;

// Closes the file when the call leaves.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // A close that fails loses what was written (on NFS, for one).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

ViStatus file_failure(ViStatus status, const char* what, const char* name, int error) {
    sgvisa::trace::note_reason([&] {
        return std::string("cannot ") + what + " the file '" + name + "': " + std::strerror(error);
    });
    return status;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `buf` is full or the file ends; `got` tells how far it came.
bool read_full(int fd, std::span<std::uint8_t> buf, std::size_t& got) {
    got = 0;
    while (got < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// What both operations do first: the trace, the count cleared, a file
// name, the session's operation; then `body` within that operation.
template <typename Body>
ViStatus file_transfer(const char* op, ViSession vi, ViConstString filename, ViUInt32 cnt,
                       ViPUInt32 retCnt, Body body) {
    const sgvisa::api::CallTrace traced(op, [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).str("filename", filename).num("cnt", cnt).out("retCnt", retCnt);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (retCnt != nullptr)
            *retCnt = 0;
        if (filename == nullptr)
            return VI_ERROR_FILE_ACCESS;
        sgvisa::session::SessionIo io;
        const ViStatus st = sgvisa::session::begin_session_io(vi, io);
        if (st != VI_SUCCESS)
            return st;
        return body(io);
    });
}

}  // namespace

// Reads as viRead does, for at most `cnt` bytes, into `filename`: replaced,
// or appended to under VI_ATTR_FILE_APPEND_EN.
SGVISA_EXPORT ViStatus viReadToFile(ViSession vi, ViConstString filename, ViUInt32 cnt,
                                    ViPUInt32 retCnt) {
    return file_transfer(
        "viReadToFile", vi, filename, cnt, retCnt, [&](sgvisa::session::SessionIo& io) -> ViStatus {
            ViStatus st = VI_SUCCESS;
            const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY |
                              (io.settings.file_append ? O_APPEND : O_TRUNC);
            FileDescriptor file(::open(filename, flags, 0666));
            if (file.get() < 0)
                return file_failure(VI_ERROR_FILE_ACCESS, "open", filename, errno);
            std::vector<std::uint8_t> chunk(std::min<std::size_t>(cnt, kFileChunk));
            std::uint32_t total = 0;
            st = VI_SUCCESS_MAX_CNT;
            while (total < cnt) {
                const std::size_t want = std::min<std::size_t>(cnt - total, chunk.size());
                std::size_t count = 0;
                st = sgvisa::session::read_message_bytes(
                    io.op, io.settings, std::span(chunk.data(), want), io.deadline, count);
                if (!write_all(file.get(), chunk.data(), count))
                    return file_failure(VI_ERROR_FILE_IO, "write", filename, errno);
                total += static_cast<std::uint32_t>(count);
                if (retCnt != nullptr)
                    *retCnt = total;
                // The message ended (END or the termination character), or failed;
                // a full chunk short of the count goes on.
                if (st != VI_SUCCESS_MAX_CNT)
                    break;
            }
            if (!file.close())
                return file_failure(VI_ERROR_FILE_IO, "close", filename, errno);
            return st;
        });
}

// Sends at most `cnt` bytes of `filename` as viWrite does: END on the last
// byte with VI_ATTR_SEND_END_EN, whether the count or the file's end stops it.
SGVISA_EXPORT ViStatus viWriteFromFile(ViSession vi, ViConstString filename, ViUInt32 cnt,
                                       ViPUInt32 retCnt) {
    return file_transfer(
        "viWriteFromFile", vi, filename, cnt, retCnt,
        [&](sgvisa::session::SessionIo& io) -> ViStatus {
            ViStatus st = VI_SUCCESS;
            FileDescriptor file(::open(filename, O_RDONLY | O_CLOEXEC | O_NOCTTY));
            if (file.get() < 0)
                return file_failure(VI_ERROR_FILE_ACCESS, "open", filename, errno);
            // One chunk is read ahead, so that the last one sent is known to be
            // the last and carries END.
            std::vector<std::uint8_t> chunk(std::min<std::size_t>(cnt, kFileChunk));
            std::vector<std::uint8_t> next(chunk.size());
            std::size_t have = 0;
            std::uint32_t left = cnt;
            auto fill = [&](std::vector<std::uint8_t>& into, std::size_t& got) {
                const std::size_t want = std::min<std::size_t>(left, into.size());
                if (!read_full(file.get(), std::span(into.data(), want), got))
                    return false;
                left -= static_cast<std::uint32_t>(got);
                return true;
            };
            if (!fill(chunk, have))
                return file_failure(VI_ERROR_FILE_IO, "read", filename, errno);
            std::uint32_t total = 0;
            for (;;) {
                std::size_t more = 0;
                if (left > 0 && have == chunk.size() && !fill(next, more))
                    return file_failure(VI_ERROR_FILE_IO, "read", filename, errno);
                const bool last = more == 0;
                st = io.transport().write(std::span<const std::uint8_t>(chunk.data(), have),
                                          last && io.settings.send_end, io.deadline);
                if (st < 0)
                    return st;
                total += static_cast<std::uint32_t>(have);
                if (retCnt != nullptr)
                    *retCnt = total;
                if (last)
                    return VI_SUCCESS;
                chunk.swap(next);
                have = more;
            }
        });
}
