// The simulated generator as a USB gadget: FunctionFS delivers the host's
// control requests as events on ep0, and the bulk endpoints are the files ep1
// (OUT) and ep2 (IN). One thread: ep0 is polled directly, the endpoint files
// through the kernel AIO completions' eventfd.
#include "gadget_attachment.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gadget_aio.h"
#include "gadget_descriptors.h"
#include "gadget_setup.h"

namespace sgsim {
namespace {

using gadget::KernelAio;

constexpr std::uint64_t kTagRead = 1;
constexpr std::uint64_t kTagWrite = 2;
constexpr std::uint64_t kTagZeroLength = 3;
// Our own bound on one bulk-IN transfer; the device core also keeps to the
// host's request.
constexpr std::size_t kMaxInTransfer = 64 * 1024;
// Consecutive failed bulk-OUT reads after which the endpoint is left alone
// until the host enables the function again.
constexpr int kMaxReadFailures = 16;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

bool write_all(int fd, const std::vector<std::uint8_t>& data) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    return n == static_cast<ssize_t>(data.size());
}

// The packet size the endpoint runs at, for the speed the host connected at.
std::size_t current_packet_size(int fd) {
    usb_endpoint_descriptor desc{};
    if (::ioctl(fd, FUNCTIONFS_ENDPOINT_DESC, &desc) != 0)
        return gadget::kHighSpeedPacket;
    const std::size_t size = le16toh(desc.wMaxPacketSize) & 0x7FF;
    return size == 0 ? gadget::kHighSpeedPacket : size;
}

class GadgetSession {
  public:
    GadgetSession(UsbtmcDevice& device, int ep0, int ep_out, int ep_in, const sigset_t& wait_mask)
        : device_(device), ep0_(ep0), ep_out_(ep_out), ep_in_(ep_in), wait_mask_(wait_mask) {
        const char* trace = std::getenv("SGSIM_GADGET_TRACE");
        trace_ = trace != nullptr && *trace != '\0';
    }

    // Reads and answers the pending ep0 events. False on a fatal error.
    bool on_ep0(KernelAio& aio) {
        std::array<usb_functionfs_event, 4> events;
        for (;;) {
            const ssize_t n = ::read(ep0_, events.data(), sizeof events);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true;
            if (n < 0) {
                std::fprintf(stderr, "sgsim: reading gadget events: %s\n", std::strerror(errno));
                return false;
            }
            const auto count = static_cast<std::size_t>(n) / sizeof(usb_functionfs_event);
            if (count == 0)
                return true;
            for (std::size_t i = 0; i < count; ++i)
                on_event(aio, events[i]);
        }
    }

    void on_completions(KernelAio& aio) {
        for (const auto& c : aio.collect()) {
            if (c.tag == kTagRead)
                on_read(aio, c.result);
            else if (c.tag == kTagWrite || c.tag == kTagZeroLength)
                on_written(c);
        }
    }

    // Sends the device's next bulk-IN transfer when it has one and the IN
    // endpoint is free; writes nothing otherwise (the host times out).
    void send_reply(KernelAio& aio) {
        if (!enabled_ || writes_in_flight_ > 0)
            return;
        auto reply = device_.bulk_in(kMaxInTransfer, Clock::now());
        if (!reply)
            return;
        in_buf_ = std::move(*reply);
        if (trace_)
            std::fprintf(stderr, "sgsim: bulk-in %zu bytes\n", in_buf_.size());
        if (submit_write(aio, in_buf_.size(), kTagWrite) && !in_buf_.empty() &&
            in_buf_.size() % in_packet_ == 0) {
            // A transfer that fills its last packet is ended by a short one.
            submit_write(aio, 0, kTagZeroLength);
        }
    }

    // How long the event loop may wait: until a delayed reply is due, when
    // one can be sent then; otherwise -1 (for events only).
    int wait_ms() const {
        if (!enabled_ || writes_in_flight_ > 0)
            return -1;
        const auto due = device_.next_ready();
        if (!due)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }

  private:
    void on_event(KernelAio& aio, const usb_functionfs_event& ev) {
        switch (ev.type) {
            case FUNCTIONFS_ENABLE:
                enabled_ = true;
                read_failures_ = 0;
                device_.reset();
                out_packet_ = current_packet_size(ep_out_);
                in_packet_ = current_packet_size(ep_in_);
                if (trace_)
                    std::fprintf(stderr,
                                 "sgsim: gadget enabled, packets of %zu (OUT) and %zu (IN)\n",
                                 out_packet_, in_packet_);
                out_buf_.assign(out_packet_, 0);
                start_read(aio);
                break;
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND:
                // The host reconfigured the device or it was unplugged: what
                // is in flight completes with an error (ESHUTDOWN).
                if (trace_)
                    std::fprintf(stderr, "sgsim: gadget %s\n",
                                 ev.type == FUNCTIONFS_DISABLE ? "disabled" : "unbound");
                enabled_ = false;
                device_.reset();
                break;
            case FUNCTIONFS_SETUP:
                on_setup(ev.u.setup);
                break;
            default:  // BIND, SUSPEND, RESUME
                break;
        }
    }

    void on_setup(const usb_ctrlrequest& req) {
        const gadget::SetupPacket setup{req.bRequestType, req.bRequest, le16toh(req.wValue),
                                        le16toh(req.wIndex), le16toh(req.wLength)};
        const auto answer = gadget::answer_setup(device_, setup);
        if (trace_)
            std::fprintf(stderr, "sgsim: setup %02x %02x value %04x index %04x length %u: %s\n",
                         setup.request_type, setup.request, setup.value, setup.index, setup.length,
                         answer.stall ? "stall" : "answered");
        // The data stage waits for the host; let a stop signal interrupt it.
        sigset_t saved;
        ::pthread_sigmask(SIG_SETMASK, &wait_mask_, &saved);
        const bool in = (setup.request_type & USB_DIR_IN) != 0;
        ssize_t r;
        if (answer.stall) {
            // FunctionFS stalls ep0 on a transfer against the data direction.
            r = in ? ::read(ep0_, nullptr, 0) : ::write(ep0_, nullptr, 0);
        } else {
            r = ::write(ep0_, answer.data.data(), answer.data.size());
        }
        const int saved_errno = errno;
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        if (trace_ && r < 0 && !answer.stall)
            std::fprintf(stderr, "sgsim: control reply: %s\n", std::strerror(saved_errno));
    }

    void start_read(KernelAio& aio) {
        if (!enabled_ || read_in_flight_)
            return;
        const int r = aio.submit(ep_out_, false, out_buf_.data(), out_buf_.size(), kTagRead);
        if (r == 0) {
            read_in_flight_ = true;
        } else if (trace_) {
            std::fprintf(stderr, "sgsim: bulk-out read not queued: %s\n", std::strerror(-r));
        }
    }

    void on_read(KernelAio& aio, std::int64_t result) {
        read_in_flight_ = false;
        if (result < 0) {
            // ESHUTDOWN: the host reconfigured the device; read again once
            // enabled (maybe already).
            if (trace_)
                std::fprintf(stderr, "sgsim: bulk-out read: %s\n",
                             std::strerror(static_cast<int>(-result)));
            if (++read_failures_ > kMaxReadFailures)
                enabled_ = false;
        } else {
            read_failures_ = 0;
            const std::span<const std::uint8_t> data(out_buf_.data(),
                                                     static_cast<std::size_t>(result));
            if (trace_)
                std::fprintf(stderr, "sgsim: bulk-out %zu bytes\n", data.size());
            if (!data.empty() && !device_.bulk_out(data))
                halt_out();
        }
        start_read(aio);
    }

    void on_written(const KernelAio::Completion& c) {
        if (writes_in_flight_ > 0)
            --writes_in_flight_;
        if (trace_ && c.result < 0)
            std::fprintf(stderr, "sgsim: bulk-in write: %s\n",
                         std::strerror(static_cast<int>(-c.result)));
    }

    bool submit_write(KernelAio& aio, std::size_t len, std::uint64_t tag) {
        const int r = aio.submit(ep_in_, true, in_buf_.data(), len, tag);
        if (r != 0) {
            if (trace_)
                std::fprintf(stderr, "sgsim: bulk-in write not queued: %s\n", std::strerror(-r));
            return false;
        }
        ++writes_in_flight_;
        return true;
    }

    // The device refused a transfer: stall bulk-OUT. FunctionFS halts an
    // endpoint on a transfer against its direction. The UDC itself answers
    // the host's CLEAR_FEATURE(ENDPOINT_HALT) and FunctionFS does not report
    // it, so the core's own halt is cleared at once: the kernel's halt is the
    // one the host sees.
    void halt_out() {
        const ssize_t r = ::write(ep_out_, nullptr, 0);
        if (trace_)
            std::fprintf(stderr, "sgsim: bulk-out halted (%s)\n",
                         r < 0 ? std::strerror(errno) : "no error");
        device_.clear_halt(UsbtmcDevice::kBulkOutEndpoint);
    }

    UsbtmcDevice& device_;
    int ep0_;
    int ep_out_;
    int ep_in_;
    sigset_t wait_mask_;
    bool trace_ = false;
    bool enabled_ = false;
    bool read_in_flight_ = false;
    int read_failures_ = 0;
    int writes_in_flight_ = 0;
    std::size_t out_packet_ = gadget::kHighSpeedPacket;
    std::size_t in_packet_ = gadget::kHighSpeedPacket;
    std::vector<std::uint8_t> out_buf_ = std::vector<std::uint8_t>(gadget::kHighSpeedPacket);
    std::vector<std::uint8_t> in_buf_;
};

int fail(const std::string& what) {
    std::fprintf(stderr, "sgsim: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

}  // namespace

int run_gadget(const std::string& ffs_dir, UsbtmcDevice& device, volatile std::sig_atomic_t& stop,
               void (*on_ready)()) {
    const Fd ep0(::open((ffs_dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
    if (ep0.get() < 0)
        return fail("cannot open " + ffs_dir + "/ep0");
    if (!write_all(ep0.get(), gadget::descriptors_blob()))
        return fail("the gadget refused the USB descriptors");
    if (!write_all(ep0.get(), gadget::strings_blob("USBTMC signal generator")))
        return fail("the gadget refused the USB strings");
    // The endpoint files exist now. Without O_NONBLOCK a transfer queued
    // while the function is disabled would wait for it to be enabled.
    const Fd ep_out(::open((ffs_dir + "/ep1").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    const Fd ep_in(::open((ffs_dir + "/ep2").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (ep_out.get() < 0 || ep_in.get() < 0)
        return fail("cannot open the gadget's endpoint files in " + ffs_dir);
    const int flags = ::fcntl(ep0.get(), F_GETFL);
    if (flags < 0 || ::fcntl(ep0.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("cannot make ep0 non-blocking");

    // The stop signals are delivered only inside ppoll(), so a stop request
    // can never slip in between the check of `stop` and the wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t saved_mask;
    if (::pthread_sigmask(SIG_BLOCK, &stop_signals, &saved_mask) != 0)
        return fail("cannot block the stop signals");
    sigset_t wait_mask = saved_mask;
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);

    int rc = 0;
    {
        GadgetSession session(device, ep0.get(), ep_out.get(), ep_in.get(), wait_mask);
        KernelAio aio(8);  // destroyed first: cancels transfers into the session's buffers
        if (!aio.ok()) {
            std::fprintf(stderr, "sgsim: %s\n", aio.error().c_str());
            rc = 1;
        } else {
            on_ready();
        }
        while (rc == 0 && !stop) {
            std::array<pollfd, 2> fds{{{ep0.get(), POLLIN, 0}, {aio.event_fd(), POLLIN, 0}}};
            const int wait = session.wait_ms();
            timespec ts{wait / 1000, (wait % 1000) * 1000000L};
            const int r = ::ppoll(fds.data(), fds.size(), wait < 0 ? nullptr : &ts, &wait_mask);
            if (r < 0 && errno != EINTR) {
                rc = fail("waiting for the gadget");
                break;
            }
            if (stop)
                break;
            // ep0 first: a DISABLE/ENABLE pair must reset the device before
            // the data of the host's new session is handed to it.
            if (!session.on_ep0(aio)) {
                rc = 1;
                break;
            }
            session.on_completions(aio);
            session.send_reply(aio);
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    return rc;
}

}  // namespace sgsim
