#include "trace/trace_sink.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace sgvisa::trace {
namespace {

std::atomic<int> sink_fd{-1};
// CLOCK_MONOTONIC of the first line, in ns (0: no line yet). Shared with
// children after fork, whose clock is the same.
std::atomic<std::int64_t> first_line_ns{0};

}  // namespace

std::int64_t now_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool open_sink(const char* target) noexcept {
    if (std::strcmp(target, "stderr") == 0) {
        sink_fd.store(STDERR_FILENO, std::memory_order_relaxed);
        return true;
    }
    int fd;
    do {
        fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        char message[512];
        const int n = std::snprintf(message, sizeof message,
                                    "sgvisa: cannot open the trace file %s (SGVISA_TRACE): %s; "
                                    "no trace is written\n",
                                    target, std::strerror(errno));
        if (n > 0)
            (void)!::write(STDERR_FILENO, message,
                           std::min(static_cast<std::size_t>(n), sizeof message - 1));
        return false;
    }
    // A second opening (a test's) replaces the first file.
    const int before = sink_fd.exchange(fd, std::memory_order_relaxed);
    if (before > STDERR_FILENO)
        ::close(before);
    return true;
}

void write_line(std::string_view line) noexcept {
    const int fd = sink_fd.load(std::memory_order_relaxed);
    if (fd < 0)
        return;
    // One write: appended whole. A short write (a full disk, a pipe as the
    // file) drops the rest of the line rather than interleave a remainder.
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}

void begin_line(std::string& out, std::int64_t at_ns) {
    std::int64_t first = 0;
    if (first_line_ns.compare_exchange_strong(first, at_ns, std::memory_order_relaxed))
        first = at_ns;
    char prefix[96];
    const int n =
        std::snprintf(prefix, sizeof prefix, "sgvisa %10lldus pid %ld tid %ld ",
                      static_cast<long long>((at_ns - first) / 1000), static_cast<long>(::getpid()),
                      static_cast<long>(::syscall(SYS_gettid)));
    if (n > 0)
        out.append(prefix, std::min(static_cast<std::size_t>(n), sizeof prefix - 1));
}

}  // namespace sgvisa::trace
