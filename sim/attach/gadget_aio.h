// Asynchronous reads and writes on FunctionFS endpoint files through the
// kernel's native AIO interface. The endpoint files cannot be polled; their
// AIO completions are signalled on an eventfd, which can.
#pragma once

#include <linux/aio_abi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sgsim::gadget {

class KernelAio {
  public:
    struct Completion {
        std::uint64_t tag = 0;
        std::int64_t result = 0;  // bytes transferred, or -errno
    };

    // Room for `depth` operations in flight. Check ok() afterwards.
    explicit KernelAio(unsigned depth);
    ~KernelAio();
    KernelAio(const KernelAio&) = delete;
    KernelAio& operator=(const KernelAio&) = delete;

    bool ok() const { return ctx_ != 0 && event_fd_ >= 0; }
    const std::string& error() const { return error_; }

    // Readable when completions are waiting.
    int event_fd() const { return event_fd_; }

    // Queues one read (write=false) or write of `len` bytes at `buf` on `fd`.
    // The buffer must stay valid until the completion with `tag` has been
    // collected. Returns 0 or -errno.
    int submit(int fd, bool write, void* buf, std::size_t len, std::uint64_t tag);

    // Collects the operations that have finished, without waiting.
    std::vector<Completion> collect();

  private:
    aio_context_t ctx_ = 0;
    int event_fd_ = -1;
    unsigned depth_ = 0;
    std::string error_;
};

}  // namespace sgsim::gadget
