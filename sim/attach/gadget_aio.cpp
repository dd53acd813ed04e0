#include "gadget_aio.h"

#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace sgsim::gadget {
namespace {

long sys_io_setup(unsigned depth, aio_context_t* ctx) {
    return ::syscall(SYS_io_setup, depth, ctx);
}

long sys_io_destroy(aio_context_t ctx) {
    return ::syscall(SYS_io_destroy, ctx);
}

long sys_io_submit(aio_context_t ctx, long n, iocb** cbs) {
    return ::syscall(SYS_io_submit, ctx, n, cbs);
}

long sys_io_getevents(aio_context_t ctx, long min, long max, io_event* events, timespec* timeout) {
    return ::syscall(SYS_io_getevents, ctx, min, max, events, timeout);
}

}  // namespace

KernelAio::KernelAio(unsigned depth) : depth_(depth) {
    event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event_fd_ < 0) {
        error_ = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    if (sys_io_setup(depth, &ctx_) != 0) {
        error_ = std::string("io_setup: ") + std::strerror(errno);
        ctx_ = 0;
    }
}

KernelAio::~KernelAio() {
    // Cancels what is still in flight and waits for it to finish.
    if (ctx_ != 0)
        sys_io_destroy(ctx_);
    if (event_fd_ >= 0)
        ::close(event_fd_);
}

int KernelAio::submit(int fd, bool write, void* buf, std::size_t len, std::uint64_t tag) {
    iocb cb;
    std::memset(&cb, 0, sizeof cb);
    cb.aio_data = tag;
    cb.aio_lio_opcode = write ? IOCB_CMD_PWRITE : IOCB_CMD_PREAD;
    cb.aio_fildes = static_cast<std::uint32_t>(fd);
    cb.aio_buf = reinterpret_cast<std::uintptr_t>(buf);
    cb.aio_nbytes = len;
    cb.aio_flags = IOCB_FLAG_RESFD;
    cb.aio_resfd = static_cast<std::uint32_t>(event_fd_);
    iocb* list[1] = {&cb};
    const long n = sys_io_submit(ctx_, 1, list);
    if (n == 1)
        return 0;
    return n < 0 ? -errno : -EAGAIN;
}

std::vector<KernelAio::Completion> KernelAio::collect() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t r = ::read(event_fd_, &count, sizeof count);
    std::vector<Completion> done;
    std::vector<io_event> events(depth_);
    for (;;) {
        timespec no_wait{0, 0};
        const long n =
            sys_io_getevents(ctx_, 0, static_cast<long>(events.size()), events.data(), &no_wait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (long i = 0; i < n; ++i)
            done.push_back({events[static_cast<std::size_t>(i)].data,
                            events[static_cast<std::size_t>(i)].res});
    }
    return done;
}

}  // namespace sgsim::gadget
