// bench_usb_bulk_read: the time to read a 1 MiB reply from the simulated
// I/O test instrument (sgsim --io-test) attached as a real USB device (the VM
// of tests/vm), through one of
//   ours    - our VISA library: viRead in counts of CHUNK bytes until END,
//             in a session opened with VI_EXCLUSIVE_LOCK;
//   kernel  - the kernel's usbtmc driver: read() of CHUNK bytes on
//             /dev/usbtmcN until the whole reply is in;
//   bare    - libusb alone: a request for CHUNK bytes and one synchronous
//             bulk-IN transfer of its whole answer, until END
//             (libusb_bulk_read.h).
// Each round sends "RECEIVE", the 1 MiB message and "SEND" (not timed), then
// times the read of the reply and checks it byte for byte.
// Prints one line "samples VARIANT US US ...", one value per round.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libusb_bulk_read.h"
#include "stats.h"
#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMessageSize = 1024 * 1024;
// Generous: the emulated guest on a loaded machine writes 1 MiB in seconds.
constexpr unsigned kBoundMs = 60000;

// The message: bytes that are not all text, the last one a linefeed.
std::vector<unsigned char> message() {
    std::vector<unsigned char> m(kMessageSize);
    for (std::size_t i = 0; i < m.size(); ++i)
        m[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
    m.back() = '\n';
    return m;
}

double micros_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// ---- ours ---------------------------------------------------------------------
bool ours_write(ViSession vi, const unsigned char* data, std::size_t n) {
    ViUInt32 done = 0;
    const ViStatus st = viWrite(vi, data, static_cast<ViUInt32>(n), &done);
    if (st != VI_SUCCESS || done != n) {
        std::fprintf(stderr, "bench: viWrite failed (status 0x%08x)\n", static_cast<unsigned>(st));
        return false;
    }
    return true;
}

bool run_ours(int count, std::size_t chunk, std::vector<double>& us) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS ||
        viOpen(rm, "USB0::0x4d19::0x0040::SIM001::INSTR", VI_EXCLUSIVE_LOCK, kBoundMs, &vi) !=
            VI_SUCCESS) {
        std::fprintf(stderr, "bench: viOpen failed\n");
        return false;
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, kBoundMs);
    const auto sent = message();
    std::vector<unsigned char> got(kMessageSize + chunk);
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = ours_write(vi, reinterpret_cast<const unsigned char*>("RECEIVE\n"), 8) &&
             ours_write(vi, sent.data(), sent.size()) &&
             ours_write(vi, reinterpret_cast<const unsigned char*>("SEND\n"), 5);
        std::size_t have = 0;
        const auto t0 = Clock::now();
        ViStatus st = VI_SUCCESS_MAX_CNT;
        while (ok && st == VI_SUCCESS_MAX_CNT && have < kMessageSize) {
            ViUInt32 n = 0;
            st = viRead(vi, got.data() + have, static_cast<ViUInt32>(chunk), &n);
            have += n;
            ok = st == VI_SUCCESS || st == VI_SUCCESS_MAX_CNT;
        }
        const double t = micros_since(t0);
        if (!ok || have != kMessageSize || std::memcmp(got.data(), sent.data(), have) != 0) {
            std::fprintf(stderr, "bench: ours read %zu bytes (status 0x%08x), not the message\n",
                         have, static_cast<unsigned>(st));
            ok = false;
        } else {
            us.push_back(t);
        }
    }
    viClose(rm);
    return ok;
}

// ---- the kernel's usbtmc driver ---------------------------------------------------
bool kernel_write(int fd, const unsigned char* data, std::size_t n) {
    if (::write(fd, data, n) != static_cast<ssize_t>(n)) {
        std::fprintf(stderr, "bench: write: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

bool run_kernel(const char* path, int count, std::size_t chunk, std::vector<double>& us) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "bench: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const auto sent = message();
    std::vector<unsigned char> got(kMessageSize + chunk);
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = kernel_write(fd, reinterpret_cast<const unsigned char*>("RECEIVE\n"), 8) &&
             kernel_write(fd, sent.data(), sent.size()) &&
             kernel_write(fd, reinterpret_cast<const unsigned char*>("SEND\n"), 5);
        std::size_t have = 0;
        const auto t0 = Clock::now();
        while (ok && have < kMessageSize) {
            const ssize_t n = ::read(fd, got.data() + have, chunk);
            ok = n > 0;
            if (ok)
                have += static_cast<std::size_t>(n);
        }
        const double t = micros_since(t0);
        if (!ok || have != kMessageSize || std::memcmp(got.data(), sent.data(), have) != 0) {
            std::fprintf(stderr, "bench: %s: read %zu bytes, not the message\n", path, have);
            ok = false;
        } else {
            us.push_back(t);
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ours|kernel|bare COUNT CHUNK [DEVICE]\n", argv[0]);
        return 2;
    }
    const std::string variant = argv[1];
    const int count = std::atoi(argv[2]);
    const long chunk = std::atol(argv[3]);
    const char* device = argc > 4 ? argv[4] : "/dev/usbtmc0";
    if (count <= 0 || chunk <= 0 || static_cast<std::size_t>(chunk) > kMessageSize) {
        std::fprintf(stderr, "bench: COUNT and CHUNK must be positive, CHUNK at most 1 MiB\n");
        return 2;
    }
    std::vector<double> us;
    bool ok = false;
    if (variant == "ours")
        ok = run_ours(count, static_cast<std::size_t>(chunk), us);
    else if (variant == "bare")
        ok = sgbench::run_bare_libusb_bulk_read(count, static_cast<std::size_t>(chunk), message(),
                                                us);
    else if (variant == "kernel")
        ok = run_kernel(device, count, static_cast<std::size_t>(chunk), us);
    else
        std::fprintf(stderr, "bench: unknown variant %s\n", variant.c_str());
    if (!ok)
        return 1;
    sgbench::print_samples(variant, us);
    return 0;
}
