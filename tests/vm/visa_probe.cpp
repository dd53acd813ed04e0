// vm_visa_probe: drives one instrument through our VISA library step by step,
// for the VM test's guest-side checks. One output line per step:
//   <step> status=0xXXXXXXXX ms=<elapsed> data=<bytes, non-printables as \xHH>
//
// Usage: vm_visa_probe [--open-timeout MS] [--no-lock] RESOURCE STEP...
//        vm_visa_probe - STEP...      (no session: find and pause steps only)
//   tmo=MS         sets the I/O timeout (VI_ATTR_TMO_VALUE)
//   write=TEXT     viWrite of TEXT and a linefeed
//   read=N         one viRead of at most N bytes
//   readall=N      viRead of at most N bytes each until END or an error
//   query=TEXT     write=TEXT, then one viRead of at most 4096 bytes
//   fill=N         viWrite of one message of N bytes (N >= 1): byte i is
//                  (7 i + i / 251) mod 256, the last a linefeed; not all
//                  text, and no stretch of it repeats another nearby
//   readfill=N     one viRead of at most N + 1 bytes; data= how many bytes
//                  came and whether they are the fill=N message: "N bytes,
//                  the fill message" or where they first differ
//   block          reads an IEEE 488.2 definite-length block (#<n><length>
//                  <data>) and the linefeed after it: viReads to the first
//                  END, then on to the length the block declares, as
//                  PyVISA's read_binary_values does; data= all bytes read
//   termchar=C     reads end at the character C (VI_ATTR_TERMCHAR and
//                  VI_ATTR_TERMCHAR_EN)
//   ren=MODE       viGpibControlREN(MODE)
//   reopen         viClose of the session, then viOpen of the resource
//                  again as at the start, with the timeout it had
//   roundtrip=N    N *IDN? queries; data= is the mean round trip in ms
//   clear          viClear
//   pause          prints its line at once, then waits for a line (or the
//                  end) on standard input: the caller acts on the device
//                  while the session is open
//   find=EXPR      viFindRsrc(EXPR) and viFindNext: data= the names found,
//                  space-separated; status= viFindRsrc's
//   readbg=N       starts one viRead of at most N bytes in another thread
//                  and prints its line once that thread runs
//   closewait      viClose of the session from this thread while the
//                  readbg read is in progress, then waits for that read:
//                  status= the read's, ms= from the close to the read's end;
//                  later steps have no session
//   otherquery=RESOURCE|TEXT
//                  in another thread: opens RESOURCE (its own resource
//                  manager, 10 s timeout) and queries TEXT (a write, then a
//                  read of at most 4096 bytes); prints its line once that
//                  thread runs
//   otherwait      waits for that thread: status= and data= its query's,
//                  ms= from its start to its end
//   devices        data= the USB device nodes (/dev/bus/usb/BBB/DDD) this
//                  process holds open, space-separated: which device the
//                  session uses, and that no other one was left open
// The session is opened (exclusive lock, or none with --no-lock; an open
// timeout of 10000 ms or MS) before the first step and closed after the last;
// with RESOURCE "-" no session is opened. Exits 0 unless the usage is wrong.
// The default is long because viOpen's look at sysfs shares its deadline,
// and a TCG guest on a busy machine has been seen to take over 3 s for it.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr ViUInt32 kMaxRead = 1 << 16;
constexpr int kMaxReadsPerStep = 4096;
constexpr ViUInt32 kMaxFill = 1 << 24;

std::string escaped(std::string_view data) {
    std::string out;
    for (const char c : data) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

void print(std::string_view step, ViStatus status, Clock::time_point start, std::string_view data) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("%.*s status=0x%08X ms=%.2f data=%s\n", static_cast<int>(step.size()), step.data(),
                static_cast<unsigned>(status), ms, escaped(data).c_str());
    std::fflush(stdout);
}

ViStatus write_line(ViSession vi, std::string_view text) {
    std::string line(text);
    line += '\n';
    ViUInt32 written = 0;
    return viWrite(vi, reinterpret_cast<ViConstBuf>(line.data()),
                   static_cast<ViUInt32>(line.size()), &written);
}

ViStatus read_once(ViSession vi, ViUInt32 max, std::string& out) {
    std::vector<unsigned char> buf(max);
    ViUInt32 got = 0;
    const ViStatus s = viRead(vi, buf.data(), max, &got);
    if (got > max)
        got = max;
    out.append(reinterpret_cast<const char*>(buf.data()), got);
    return s;
}

// The USB device nodes among this process's open file descriptors, sorted.
std::string usb_device_nodes() {
    std::vector<std::string> nodes;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return "?";
    constexpr std::string_view kPrefix = "/dev/bus/usb/";
    while (const dirent* entry = readdir(dir)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[256];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        const std::string_view path(target, static_cast<std::size_t>(n));
        if (path.starts_with(kPrefix))
            nodes.emplace_back(path);
    }
    closedir(dir);
    std::sort(nodes.begin(), nodes.end());
    std::string out;
    for (const std::string& node : nodes)
        out += (out.empty() ? "" : " ") + node;
    return out;
}

// The message of fill=N.
std::vector<unsigned char> fill_message(ViUInt32 n) {
    std::vector<unsigned char> m(n);
    for (ViUInt32 i = 0; i < n; ++i)
        m[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
    if (n > 0)
        m.back() = '\n';
    return m;
}

ViUInt32 fill_arg(std::string_view value) {
    const unsigned long n = std::strtoul(std::string(value).c_str(), nullptr, 10);
    return n == 0 || n > kMaxFill ? 1 : static_cast<ViUInt32>(n);
}

// What readfill=N read, against the fill=N message.
std::string compare_with_fill(const std::vector<unsigned char>& got, ViUInt32 n) {
    const std::vector<unsigned char> want = fill_message(n);
    std::string out = std::to_string(got.size()) + " bytes, ";
    const std::size_t common = std::min(got.size(), want.size());
    const auto diff =
        std::mismatch(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(common), want.begin());
    if (diff.first != got.begin() + static_cast<std::ptrdiff_t>(common))
        return out + "first difference at byte " + std::to_string(diff.first - got.begin());
    if (got.size() != want.size())
        return out + "the fill message's first " + std::to_string(common);
    return out + "the fill message";
}

ViUInt32 count_arg(std::string_view value) {
    const unsigned long n = std::strtoul(std::string(value).c_str(), nullptr, 10);
    return n == 0 || n > kMaxRead ? kMaxRead : static_cast<ViUInt32>(n);
}

// The resources viFindRsrc and viFindNext give for `expr`.
ViStatus find_resources(ViSession rm, std::string_view expr, std::string& out) {
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    ViChar name[VI_FIND_BUFLEN];
    const ViStatus s = viFindRsrc(rm, std::string(expr).c_str(), &list, &count, name);
    if (s < VI_SUCCESS)
        return s;
    out = name;
    for (ViUInt32 i = 1; i < count && viFindNext(list, name) >= VI_SUCCESS; ++i)
        out += std::string(" ") + name;
    viClose(list);
    return s;
}

// The read started by readbg: its thread and, once it ended, its outcome.
struct BackgroundRead {
    std::thread thread;
    std::promise<void> running;
    ViStatus status = VI_SUCCESS;
    Clock::time_point end;
};
BackgroundRead background;

// The query of otherquery, in its own thread and session.
struct OtherQuery {
    std::thread thread;
    std::promise<void> running;
    ViStatus status = VI_SUCCESS;
    std::string reply;
    Clock::time_point start;
    Clock::time_point end;
};
OtherQuery other;

void query_other(const std::string& resource, const std::string& text) {
    other.start = Clock::now();
    other.running.set_value();
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    other.status = viOpenDefaultRM(&rm);
    if (other.status >= VI_SUCCESS)
        other.status = viOpen(rm, resource.c_str(), VI_NULL, 10000, &vi);
    if (other.status >= VI_SUCCESS)
        other.status = viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000);
    if (other.status >= VI_SUCCESS)
        other.status = write_line(vi, text);
    if (other.status >= VI_SUCCESS)
        other.status = read_once(vi, 4096, other.reply);
    other.end = Clock::now();
    viClose(rm);
}

// Waits for threads that steps started and no later step waited for.
void join_threads() {
    if (background.thread.joinable())
        background.thread.join();
    if (other.thread.joinable())
        other.thread.join();
}

// The bytes a definite-length block (#<n><length>...) that begins with
// `head` takes with its linefeed; 0 while its header is not whole, or when
// `head` begins no block.
std::size_t block_size(std::string_view head) {
    if (head.size() < 2 || head[0] != '#' || head[1] < '1' || head[1] > '9')
        return 0;
    const std::size_t digits = static_cast<std::size_t>(head[1] - '0');
    if (head.size() < 2 + digits)
        return 0;
    std::size_t length = 0;
    for (std::size_t i = 2; i < 2 + digits; ++i) {
        if (head[i] < '0' || head[i] > '9')
            return 0;
        length = length * 10 + static_cast<std::size_t>(head[i] - '0');
    }
    return 2 + digits + length + 1;
}

// The block step: to the first END, then on to the block's length.
ViStatus read_block(ViSession vi, std::string& out) {
    ViStatus s = VI_SUCCESS;
    int reads = 0;
    do {
        s = read_once(vi, kMaxRead, out);
    } while (s == VI_SUCCESS_MAX_CNT && ++reads < kMaxReadsPerStep);
    const std::size_t size = block_size(out);
    while (s >= VI_SUCCESS && size > out.size() && ++reads < kMaxReadsPerStep)
        s = read_once(vi, static_cast<ViUInt32>(std::min<std::size_t>(size - out.size(), kMaxRead)),
                      out);
    return s;
}

// The resource the session was opened with and the open timeout (for
// reopen).
const char* g_resource = nullptr;
ViUInt32 g_open_timeout = 10000;
ViAccessMode g_mode = VI_EXCLUSIVE_LOCK;

bool run_step(ViSession rm, ViSession& vi, std::string_view step) {
    const auto eq = step.find('=');
    const std::string_view name = step.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : step.substr(eq + 1);
    const auto start = Clock::now();
    std::string data;
    ViStatus s = VI_SUCCESS;
    if (name == "tmo") {
        s = viSetAttribute(vi, VI_ATTR_TMO_VALUE,
                           std::strtoul(std::string(value).c_str(), nullptr, 10));
    } else if (name == "write") {
        s = write_line(vi, value);
    } else if (name == "read") {
        s = read_once(vi, count_arg(value), data);
    } else if (name == "readall") {
        const ViUInt32 n = count_arg(value);
        int reads = 0;
        do {
            s = read_once(vi, n, data);
        } while (s == VI_SUCCESS_MAX_CNT && ++reads < kMaxReadsPerStep);
    } else if (name == "query") {
        s = write_line(vi, value);
        if (s >= VI_SUCCESS)
            s = read_once(vi, 4096, data);
    } else if (name == "fill") {
        const std::vector<unsigned char> m = fill_message(fill_arg(value));
        ViUInt32 written = 0;
        s = viWrite(vi, m.data(), static_cast<ViUInt32>(m.size()), &written);
        data = std::to_string(written);
    } else if (name == "readfill") {
        const ViUInt32 n = fill_arg(value);
        std::vector<unsigned char> buf(static_cast<std::size_t>(n) + 1);
        ViUInt32 got = 0;
        s = viRead(vi, buf.data(), n + 1, &got);
        buf.resize(std::min<std::size_t>(got, buf.size()));
        data = compare_with_fill(buf, n);
    } else if (name == "block") {
        s = read_block(vi, data);
    } else if (name == "termchar") {
        s = viSetAttribute(vi, VI_ATTR_TERMCHAR, value.empty() ? '\n' : value[0]);
        if (s >= VI_SUCCESS)
            s = viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
    } else if (name == "ren") {
        s = viGpibControlREN(
            vi, static_cast<ViUInt16>(std::strtoul(std::string(value).c_str(), nullptr, 10)));
    } else if (name == "reopen") {
        ViUInt32 timeout = 2000;
        viGetAttribute(vi, VI_ATTR_TMO_VALUE, &timeout);
        viClose(vi);
        vi = VI_NULL;
        s = viOpen(rm, g_resource, g_mode, g_open_timeout, &vi);
        if (s >= VI_SUCCESS)
            s = viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout);
    } else if (name == "roundtrip") {
        const unsigned long n = std::strtoul(std::string(value).c_str(), nullptr, 10);
        for (unsigned long i = 0; i < n && s >= VI_SUCCESS; ++i) {
            std::string reply;
            s = write_line(vi, "*IDN?");
            if (s >= VI_SUCCESS)
                s = read_once(vi, 4096, reply);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        data = std::to_string(n == 0 ? 0.0 : ms / static_cast<double>(n));
    } else if (name == "clear") {
        s = viClear(vi);
    } else if (name == "readbg") {
        const ViUInt32 n = count_arg(value);
        background.thread = std::thread([vi, n] {
            background.running.set_value();
            std::string ignored;
            background.status = read_once(vi, n, ignored);
            background.end = Clock::now();
        });
        background.running.get_future().wait();
    } else if (name == "closewait") {
        const ViStatus closed = viClose(vi);
        if (background.thread.joinable())
            background.thread.join();
        s = background.status;
        data = closed == VI_SUCCESS ? "closed" : "close failed";
        const double ms = std::chrono::duration<double, std::milli>(background.end - start).count();
        std::printf("closewait status=0x%08X ms=%.2f data=%s\n", static_cast<unsigned>(s), ms,
                    data.c_str());
        std::fflush(stdout);
        return true;
    } else if (name == "otherquery") {
        const auto bar = value.find('|');
        const std::string resource(value.substr(0, bar));
        const std::string text(bar == std::string_view::npos ? "" : value.substr(bar + 1));
        other.thread = std::thread(query_other, resource, text);
        other.running.get_future().wait();
    } else if (name == "otherwait") {
        if (other.thread.joinable())
            other.thread.join();
        const double ms =
            std::chrono::duration<double, std::milli>(other.end - other.start).count();
        std::printf("otherwait status=0x%08X ms=%.2f data=%s\n",
                    static_cast<unsigned>(other.status), ms, escaped(other.reply).c_str());
        std::fflush(stdout);
        return true;
    } else if (name == "find") {
        s = find_resources(rm, value, data);
    } else if (name == "devices") {
        data = usb_device_nodes();
    } else if (name == "pause") {
        print(step, s, start, data);
        int c = 0;
        do {
            c = std::getchar();
        } while (c != EOF && c != '\n');
        return true;
    } else {
        std::fprintf(stderr, "vm_visa_probe: unknown step '%.*s'\n", static_cast<int>(step.size()),
                     step.data());
        return false;
    }
    print(step, s, start, data);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (;;) {
        if (argc >= 3 && std::string_view(argv[1]) == "--open-timeout") {
            g_open_timeout = static_cast<ViUInt32>(std::strtoul(argv[2], nullptr, 10));
            argc -= 2;
            argv += 2;
        } else if (argc > 1 && std::string_view(argv[1]) == "--no-lock") {
            g_mode = VI_NULL;
            --argc;
            ++argv;
        } else {
            break;
        }
    }
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: vm_visa_probe [--open-timeout MS] [--no-lock] RESOURCE|- STEP...\n");
        return 2;
    }
    ViSession rm = VI_NULL;
    auto start = Clock::now();
    print("rm", viOpenDefaultRM(&rm), start, "");
    ViSession vi = VI_NULL;
    int rc = 0;
    if (std::string_view(argv[1]) == "-") {
        for (int i = 2; i < argc && rc == 0; ++i) {
            if (!run_step(rm, vi, argv[i]))
                rc = 2;
        }
        join_threads();
        viClose(rm);
        return rc;
    }
    start = Clock::now();
    g_resource = argv[1];
    const ViStatus open_status = viOpen(rm, argv[1], g_mode, g_open_timeout, &vi);
    print("open", open_status, start, "");
    if (open_status >= VI_SUCCESS) {
        for (int i = 2; i < argc && rc == 0; ++i) {
            if (!run_step(rm, vi, argv[i]))
                rc = 2;
        }
        start = Clock::now();
        print("close", viClose(vi), start, "");
    }
    join_threads();
    viClose(rm);
    return rc;
}
