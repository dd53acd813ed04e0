// bench_usb_query: timed "*IDN?" round trips to the simulated generator
// attached as a real USB device (the VM of tests/vm), through one of
//   ours    - our VISA library: viQueryf over libusb, in a session opened
//             with VI_EXCLUSIVE_LOCK as sgdemo opens it;
//   ours_nolock - the same in a session opened without the lock (each I/O
//             operation then checks the lock file);
//   bare    - libusb alone: the same three bulk transfers (DEV_DEP_MSG_OUT,
//             REQUEST_DEV_DEP_MSG_IN, the bulk-IN reply), no VISA layer, the
//             request and the bulk-IN in flight together as the library
//             keeps them (asynchronous transfers, one event-handling wait);
//   bare_sync - the same three transfers one after the other, each with
//             libusb's synchronous libusb_bulk_transfer;
//   bare_all - all three in flight together (the query's message too);
//   usbfs_all - the same without libusb: URBs submitted and reaped on the
//             device's usbfs node directly;
//   kernel  - the kernel's usbtmc driver: write and read on /dev/usbtmcN;
//   clock   - no device: the cost of one steady_clock::now() (the library
//             reads the clock several times per query to keep its deadlines).
// Prints one line "samples VARIANT US US ...", one value per round trip.
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "proto/usbtmc.h"
#include "stats.h"
#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace tmc = sgproto::usbtmc;

constexpr std::uint16_t kVendor = 0x4d19;
constexpr std::uint16_t kProduct = 0x0040;
constexpr unsigned kBoundMs = 5000;
// The open: libusb's start-up scans every USB device, which under strace in the
// emulated guest takes seconds.
constexpr unsigned kOpenBoundMs = 60000;
constexpr char kQuery[] = "*IDN?\n";
constexpr char kReplyStart[] = "Simulated Signal Sources,";
// What the host asks for, as our library does: TransferSize of the request,
// and the bulk-IN buffer (room for the header, a multiple of any packet size).
constexpr std::uint32_t kTransferRequest = 4096;
constexpr int kInSize = 4608;

double micros_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

bool is_idn(const char* text, std::size_t n) {
    return n >= sizeof kReplyStart - 1 &&
           std::memcmp(text, kReplyStart, sizeof kReplyStart - 1) == 0;
}

// ---- ours ---------------------------------------------------------------------
bool run_ours(ViAccessMode mode, int warmup, int count, std::vector<double>& us) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS ||
        viOpen(rm, "USB0::0x4d19::0x0040::SIM001::INSTR", mode, kOpenBoundMs, &vi) != VI_SUCCESS) {
        std::fprintf(stderr, "bench: viOpen failed\n");
        return false;
    }
    char reply[256];
    for (int i = 0; i < warmup + count; ++i) {
        const auto t0 = Clock::now();
        const ViStatus st = viQueryf(vi, kQuery, "%255t", reply);
        const double t = micros_since(t0);
        if (st != VI_SUCCESS || !is_idn(reply, std::strlen(reply))) {
            std::fprintf(stderr, "bench: viQueryf failed (status 0x%08x)\n",
                         static_cast<unsigned>(st));
            viClose(rm);
            return false;
        }
        if (i >= warmup)
            us.push_back(t);
    }
    viClose(rm);
    return true;
}

// ---- bare libusb ----------------------------------------------------------------
struct UsbtmcEndpoints {
    int interface = -1;
    unsigned char out = 0;
    unsigned char in = 0;
};

// The USBTMC interface and its bulk endpoints, from the active configuration.
bool find_endpoints(libusb_device* dev, UsbtmcEndpoints& ep) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0)
        return false;
    for (int i = 0; i < config->bNumInterfaces && ep.interface < 0; ++i) {
        for (int a = 0; a < config->interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& d = config->interface[i].altsetting[a];
            if (d.bInterfaceClass != tmc::kInterfaceClass ||
                d.bInterfaceSubClass != tmc::kInterfaceSubclass)
                continue;
            for (int e = 0; e < d.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& x = d.endpoint[e];
                if ((x.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK)
                    continue;
                if (x.bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    ep.in = x.bEndpointAddress;
                else
                    ep.out = x.bEndpointAddress;
            }
            ep.interface = d.bInterfaceNumber;
            break;
        }
    }
    libusb_free_config_descriptor(config);
    return ep.interface >= 0 && ep.in != 0 && ep.out != 0;
}

std::vector<unsigned char> bulk_out_transfer(std::uint8_t msg_id, std::uint8_t tag,
                                             std::uint32_t size, std::uint8_t attributes,
                                             const char* data, std::size_t n) {
    std::vector<unsigned char> t(tmc::kHeaderSize + n + tmc::padding_for(n), 0);
    tmc::BulkHeader h;
    h.msg_id = msg_id;
    h.tag = tag;
    h.transfer_size = size;
    h.attributes = attributes;
    tmc::encode_header(h, std::span<std::uint8_t, tmc::kHeaderSize>(t.data(), tmc::kHeaderSize));
    if (n > 0)
        std::memcpy(t.data() + tmc::kHeaderSize, data, n);
    return t;
}

bool bulk(libusb_device_handle* h, unsigned char ep, unsigned char* data, int length, int& done) {
    const int rc = libusb_bulk_transfer(h, ep, data, length, &done, kBoundMs);
    if (rc != 0) {
        std::fprintf(stderr, "bench: bulk transfer on 0x%02x: %s\n", ep, libusb_error_name(rc));
        return false;
    }
    return true;
}

// The two bulk-OUT transfers of one query: the command and the request for
// its reply. `tag` is advanced past both; `request_tag` is the second.
struct QueryTransfers {
    std::vector<unsigned char> message;
    std::vector<unsigned char> request;
    std::uint8_t request_tag = 0;
};

QueryTransfers query_transfers(std::uint8_t& tag) {
    QueryTransfers q;
    const std::size_t n = sizeof kQuery - 1;
    q.message = bulk_out_transfer(tmc::DEV_DEP_MSG_OUT, tag, static_cast<std::uint32_t>(n),
                                  tmc::kAttrEom, kQuery, n);
    tag = static_cast<std::uint8_t>(tag % 255 + 1);
    q.request =
        bulk_out_transfer(tmc::REQUEST_DEV_DEP_MSG_IN, tag, kTransferRequest, 0, nullptr, 0);
    q.request_tag = tag;
    tag = static_cast<std::uint8_t>(tag % 255 + 1);
    return q;
}

// The three transfers one after the other; the reply is left in `in`, its
// length in `got`.
bool sync_round_trip(libusb_device_handle* h, const UsbtmcEndpoints& ep, QueryTransfers& q,
                     unsigned char* in, int& got) {
    int done = 0;
    return bulk(h, ep.out, q.message.data(), static_cast<int>(q.message.size()), done) &&
           bulk(h, ep.out, q.request.data(), static_cast<int>(q.request.size()), done) &&
           bulk(h, ep.in, in, kInSize, got);
}

void LIBUSB_CALL transfer_done(libusb_transfer* t) {
    *static_cast<int*>(t->user_data) = 1;
}

// The request and the bulk-IN submitted together (after the message, or,
// with `all`, the message too) and reaped by libusb's event handling.
bool pipelined_round_trip(libusb_context* ctx, libusb_device_handle* h, const UsbtmcEndpoints& ep,
                          QueryTransfers& q, unsigned char* in, int& got, bool all) {
    int done = 0;
    if (!all && !bulk(h, ep.out, q.message.data(), static_cast<int>(q.message.size()), done))
        return false;
    // Allocated once, as the library keeps its transfers.
    static libusb_transfer* const transfers[3] = {
        libusb_alloc_transfer(0), libusb_alloc_transfer(0), libusb_alloc_transfer(0)};
    int completed[3] = {!all, 0, 0};
    // No libusb timeouts (each would arm and disarm a timer), as in the
    // library: the event-handling wait below is the bound.
    libusb_fill_bulk_transfer(transfers[0], h, ep.out, q.message.data(),
                              static_cast<int>(q.message.size()), transfer_done, &completed[0], 0);
    libusb_fill_bulk_transfer(transfers[1], h, ep.out, q.request.data(),
                              static_cast<int>(q.request.size()), transfer_done, &completed[1], 0);
    libusb_fill_bulk_transfer(transfers[2], h, ep.in, in, kInSize, transfer_done, &completed[2], 0);
    bool ok = true;
    for (int i = all ? 0 : 1; ok && i < 3; ++i)
        ok = libusb_submit_transfer(transfers[i]) == 0;
    const auto failed = [&](int i) {
        return completed[i] && transfers[i]->status != LIBUSB_TRANSFER_COMPLETED;
    };
    timeval bound{kBoundMs / 1000, 0};
    const auto give_up = Clock::now() + std::chrono::milliseconds(kBoundMs);
    while (ok && !completed[2] && Clock::now() < give_up) {
        if (libusb_handle_events_timeout_completed(ctx, &bound, &completed[2]) != 0)
            break;
        ok = !failed(0) && !failed(1);
    }
    ok = ok && !failed(0) && !failed(1) && !failed(2) && completed[2];
    if (!ok) {
        std::fprintf(stderr, "bench: transfers in flight together failed\n");
        for (libusb_transfer* t : transfers)
            libusb_cancel_transfer(t);
    }
    while (!(completed[0] && completed[1] && completed[2]) && libusb_handle_events(ctx) == 0) {
    }
    got = transfers[2]->actual_length;
    return ok;
}

bool reply_is_idn(const unsigned char* in, int got, std::uint8_t request_tag) {
    tmc::BulkHeader reply;
    if (got < static_cast<int>(tmc::kHeaderSize) ||
        !tmc::decode_header({in, static_cast<std::size_t>(got)}, reply) ||
        reply.msg_id != tmc::DEV_DEP_MSG_IN || reply.tag != request_tag ||
        reply.transfer_size > static_cast<std::uint32_t>(got) - tmc::kHeaderSize ||
        !is_idn(reinterpret_cast<const char*>(in) + tmc::kHeaderSize, reply.transfer_size)) {
        std::fprintf(stderr, "bench: unexpected bulk-IN reply (%d bytes)\n", got);
        return false;
    }
    return true;
}

// `pipelined`: 0 one after the other, 1 the request and the bulk-IN in
// flight together, 2 all three.
bool run_bare(int pipelined, int warmup, int count, std::vector<double>& us) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return false;
    bool ok = false;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, kVendor, kProduct);
    UsbtmcEndpoints ep;
    if (h == nullptr || !find_endpoints(libusb_get_device(h), ep)) {
        std::fprintf(stderr, "bench: no USBTMC device %04x:%04x\n", kVendor, kProduct);
    } else {
        libusb_set_auto_detach_kernel_driver(h, 1);
        const int rc = libusb_claim_interface(h, ep.interface);
        if (rc != 0) {
            std::fprintf(stderr, "bench: claim: %s\n", libusb_error_name(rc));
        } else {
            std::vector<unsigned char> in(kInSize);
            std::uint8_t tag = 1;
            ok = true;
            for (int i = 0; ok && i < warmup + count; ++i) {
                QueryTransfers q = query_transfers(tag);
                int got = 0;
                const auto t0 = Clock::now();
                ok = pipelined > 0
                         ? pipelined_round_trip(ctx, h, ep, q, in.data(), got, pipelined == 2)
                         : sync_round_trip(h, ep, q, in.data(), got);
                const double t = micros_since(t0);
                ok = ok && reply_is_idn(in.data(), got, q.request_tag);
                if (ok && i >= warmup)
                    us.push_back(t);
            }
            libusb_release_interface(h, ep.interface);  // the kernel driver comes back
        }
    }
    if (h != nullptr)
        libusb_close(h);
    libusb_exit(ctx);
    return ok;
}

// ---- usbfs without libusb -------------------------------------------------------
// The floor of a program on usbfs: the three URBs submitted at once, reaped
// with one poll per wake-up and no more reaps than there are completions.
bool usbfs_round_trip(int fd, const UsbtmcEndpoints& ep, QueryTransfers& q, unsigned char* in,
                      int& got) {
    // One object each, zeroed with memset: the URB ends in a flexible array
    // (isochronous frames), which neither an array of URBs nor an
    // initializer may reach.
    usbdevfs_urb message_urb;
    usbdevfs_urb request_urb;
    usbdevfs_urb reply_urb;
    usbdevfs_urb* const urbs[3] = {&message_urb, &request_urb, &reply_urb};
    unsigned char* buffers[3] = {q.message.data(), q.request.data(), in};
    const int lengths[3] = {static_cast<int>(q.message.size()), static_cast<int>(q.request.size()),
                            kInSize};
    for (int i = 0; i < 3; ++i) {
        std::memset(urbs[i], 0, sizeof *urbs[i]);
        urbs[i]->type = USBDEVFS_URB_TYPE_BULK;
        urbs[i]->endpoint = i < 2 ? ep.out : ep.in;
        urbs[i]->buffer = buffers[i];
        urbs[i]->buffer_length = lengths[i];
        if (::ioctl(fd, USBDEVFS_SUBMITURB, urbs[i]) != 0) {
            std::fprintf(stderr, "bench: SUBMITURB: %s\n", std::strerror(errno));
            return false;
        }
    }
    int reaped = 0;
    bool reply = false;
    while (reaped < 3) {
        usbdevfs_urb* done = nullptr;
        if (::ioctl(fd, USBDEVFS_REAPURBNDELAY, &done) == 0) {
            ++reaped;
            if (done->status != 0) {
                std::fprintf(stderr, "bench: URB status %d\n", done->status);
                return false;
            }
            reply = reply || done == &reply_urb;
            continue;
        }
        if (errno != EAGAIN)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(kBoundMs)) != 1)
            return false;
    }
    got = reply_urb.actual_length;
    return reply;
}

bool run_usbfs(int warmup, int count, std::vector<double>& us) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return false;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, kVendor, kProduct);
    UsbtmcEndpoints ep;
    char node[64] = "";
    if (h != nullptr && find_endpoints(libusb_get_device(h), ep))
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u",
                      libusb_get_bus_number(libusb_get_device(h)),
                      libusb_get_device_address(libusb_get_device(h)));
    if (h != nullptr)
        libusb_close(h);
    libusb_exit(ctx);
    const int fd = node[0] ? ::open(node, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0) {
        std::fprintf(stderr, "bench: no USBTMC device node\n");
        return false;
    }
    usbdevfs_disconnect_claim claim{};
    claim.interface = static_cast<unsigned>(ep.interface);
    bool ok = ::ioctl(fd, USBDEVFS_DISCONNECT_CLAIM, &claim) == 0;
    std::vector<unsigned char> in(kInSize);
    std::uint8_t tag = 1;
    for (int i = 0; ok && i < warmup + count; ++i) {
        QueryTransfers q = query_transfers(tag);
        int got = 0;
        const auto t0 = Clock::now();
        ok = usbfs_round_trip(fd, ep, q, in.data(), got);
        const double t = micros_since(t0);
        ok = ok && reply_is_idn(in.data(), got, q.request_tag);
        if (ok && i >= warmup)
            us.push_back(t);
    }
    unsigned interface = static_cast<unsigned>(ep.interface);
    ::ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
    usbdevfs_ioctl connect{};
    connect.ifno = ep.interface;
    connect.ioctl_code = USBDEVFS_CONNECT;
    ::ioctl(fd, USBDEVFS_IOCTL, &connect);  // the kernel driver comes back
    ::close(fd);
    return ok;
}

// ---- the kernel's usbtmc driver ---------------------------------------------------
bool run_kernel(const char* path, int warmup, int count, std::vector<double>& us) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "bench: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    char reply[4096];
    bool ok = true;
    for (int i = 0; ok && i < warmup + count; ++i) {
        const auto t0 = Clock::now();
        ok = ::write(fd, kQuery, sizeof kQuery - 1) == static_cast<ssize_t>(sizeof kQuery - 1);
        const ssize_t n = ok ? ::read(fd, reply, sizeof reply) : -1;
        const double t = micros_since(t0);
        ok = n > 0 && is_idn(reply, static_cast<std::size_t>(n));
        if (!ok)
            std::fprintf(stderr, "bench: %s query failed\n", path);
        else if (i >= warmup)
            us.push_back(t);
    }
    ::close(fd);
    return ok;
}

// COUNT batches of 1000 clock reads; one sample per batch, per read.
bool run_clock(int count, std::vector<double>& us) {
    constexpr int kReads = 1000;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        Clock::time_point last = t0;
        for (int k = 0; k < kReads; ++k)
            last = Clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(last - t0).count() / kReads);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: %s ours|ours_nolock|bare|bare_sync|bare_all|usbfs_all|kernel|clock COUNT "
            "[WARMUP] [DEVICE]\n",
            argv[0]);
        return 2;
    }
    const std::string variant = argv[1];
    const int count = std::atoi(argv[2]);
    const int warmup = argc > 3 ? std::atoi(argv[3]) : 3;
    const char* device = argc > 4 ? argv[4] : "/dev/usbtmc0";
    std::vector<double> us;
    bool ok = false;
    if (variant == "ours")
        ok = run_ours(VI_EXCLUSIVE_LOCK, warmup, count, us);
    else if (variant == "ours_nolock")
        ok = run_ours(VI_NO_LOCK, warmup, count, us);
    else if (variant == "bare" || variant == "bare_sync" || variant == "bare_all")
        ok = run_bare(variant == "bare" ? 1 : variant == "bare_all" ? 2 : 0, warmup, count, us);
    else if (variant == "usbfs_all")
        ok = run_usbfs(warmup, count, us);
    else if (variant == "kernel")
        ok = run_kernel(device, warmup, count, us);
    else if (variant == "clock")
        ok = run_clock(count, us);
    else
        std::fprintf(stderr, "bench: unknown variant %s\n", variant.c_str());
    if (!ok)
        return 1;
    sgbench::print_samples(variant, us);
    return 0;
}
