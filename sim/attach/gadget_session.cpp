#include "gadget_session.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "gadget_setup.h"
#include "proto/usbtmc.h"

namespace sgsim::gadget {
namespace {

constexpr std::uint64_t kTagRead = 1;
constexpr std::uint64_t kTagWrite = 2;
constexpr std::uint64_t kTagZeroLength = 3;
constexpr std::uint64_t kTagInterrupt = 4;
// Our own bound on one bulk-IN transfer; the device core also keeps to the
// host's request.
constexpr std::size_t kMaxInTransfer = 64 * 1024;
// Consecutive failed bulk-OUT reads after which the endpoint is left alone
// until the host enables the function again.
constexpr int kMaxReadFailures = 16;
// Bulk-IN writes in flight at once (of the AIO context's 8: one bulk-OUT
// read and one interrupt-IN write besides).
constexpr int kMaxWritesInFlight = 4;

// The packet size the endpoint runs at, for the speed the host connected at.
std::size_t current_packet_size(int fd) {
    usb_endpoint_descriptor desc{};
    if (::ioctl(fd, FUNCTIONFS_ENDPOINT_DESC, &desc) != 0)
        return kHighSpeedPacket;
    const std::size_t size = le16toh(desc.wMaxPacketSize) & 0x7FF;
    return size == 0 || size > kHighSpeedPacket ? kHighSpeedPacket : size;
}

}  // namespace

GadgetSession::GadgetSession(UsbtmcDevice& device, int ep0, int ep_out, int ep_in, int ep_interrupt,
                             const sigset_t& wait_mask)
    : device_(device),
      ep0_(ep0),
      ep_out_(ep_out),
      ep_in_(ep_in),
      ep_interrupt_(ep_interrupt),
      wait_mask_(wait_mask) {
    const char* trace = std::getenv("SGSIM_GADGET_TRACE");
    trace_ = trace != nullptr && *trace != '\0';
}

bool GadgetSession::on_ep0(KernelAio& aio) {
    std::array<usb_functionfs_event, 4> events;
    for (;;) {
        const ssize_t n = ::read(ep0_, events.data(), sizeof events);
        // EIDRM: the host gave up a control request before it was answered
        // and sent the next one; FunctionFS reports that once.
        if (n < 0 && (errno == EINTR || errno == EIDRM))
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

void GadgetSession::on_completions(KernelAio& aio) {
    for (const auto& c : aio.collect()) {
        if (c.tag == kTagRead)
            on_read(aio, c.result);
        else if (c.tag == kTagWrite || c.tag == kTagZeroLength)
            on_written(c);
        else if (c.tag == kTagInterrupt)
            interrupt_in_flight_ = false;
    }
}

void GadgetSession::serve(KernelAio& aio) {
    device_.advance(Clock::now());
    send_reply(aio);
    send_interrupt(aio);
}

void GadgetSession::send_interrupt(KernelAio& aio) {
    if (!enabled_ || ep_interrupt_ < 0 || interrupt_in_flight_)
        return;
    const auto packet = device_.take_interrupt();
    if (!packet)
        return;
    interrupt_buf_ = *packet;
    if (trace_)
        std::fprintf(stderr, "sgsim: interrupt-in %02x %02x\n", interrupt_buf_[0],
                     interrupt_buf_[1]);
    const int r = aio.submit(ep_interrupt_, true, interrupt_buf_.data(), interrupt_buf_.size(),
                             kTagInterrupt);
    if (r == 0)
        interrupt_in_flight_ = true;
    else if (trace_)
        std::fprintf(stderr, "sgsim: interrupt-in write not queued: %s\n", std::strerror(-r));
}

void GadgetSession::send_reply(KernelAio& aio) {
    if (!enabled_)
        return;
    if (next_write_ == in_writes_.size()) {
        if (writes_in_flight_ > 0)
            return;  // in_buf_ is still being written
        auto reply = device_.has_committed() ? device_.take_committed()
                                             : device_.bulk_in(kMaxInTransfer, Clock::now());
        if (!reply || reply->empty())
            return;
        in_buf_ = std::move(*reply);
        in_writes_ = plan_writes(in_buf_.size(), packet_shape(device_.quirks(), in_packet_));
        next_write_ = 0;
        if (trace_)
            std::fprintf(stderr, "sgsim: bulk-in %zu bytes in %zu writes\n", in_buf_.size(),
                         in_writes_.size());
    }
    while (next_write_ < in_writes_.size() && writes_in_flight_ < kMaxWritesInFlight) {
        if (!submit_write(aio, in_writes_[next_write_])) {
            next_write_ = in_writes_.size();  // the rest of this transfer is lost
            return;
        }
        ++next_write_;
    }
}

int GadgetSession::wait_ms() const {
    // A due reply may raise a service request even while it cannot be sent.
    if (!enabled_)
        return -1;
    const auto due = device_.next_ready();
    if (!due)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

void GadgetSession::on_event(KernelAio& aio, const usb_functionfs_event& ev) {
    switch (ev.type) {
        case FUNCTIONFS_ENABLE:
            enabled_ = true;
            read_failures_ = 0;
            next_write_ = in_writes_.size();  // what was not written is gone
            device_.reset();
            out_packet_ = current_packet_size(ep_out_);
            in_packet_ = current_packet_size(ep_in_);
            if (trace_)
                std::fprintf(stderr, "sgsim: gadget enabled, packets of %zu (OUT) and %zu (IN)\n",
                             out_packet_, in_packet_);
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
            next_write_ = in_writes_.size();
            device_.reset();
            break;
        case FUNCTIONFS_SETUP:
            // Bulk-OUT data that has already arrived goes first: a status
            // byte read after a write then shows its message executed
            // (FunctionFS reports the data a little later than the host sees
            // its transfer done, so this narrows the window, no more).
            on_completions(aio);
            on_setup(ev.u.setup);
            break;
        default:  // BIND, SUSPEND, RESUME
            break;
    }
}

void GadgetSession::on_setup(const usb_ctrlrequest& req) {
    const SetupPacket setup{req.bRequestType, req.bRequest, le16toh(req.wValue),
                            le16toh(req.wIndex), le16toh(req.wLength)};
    if (setup.request_type == sgproto::usbtmc::kRequestTypeInterfaceIn &&
        setup.request == sgproto::usbtmc::GET_CAPABILITIES)
        halt_after_host();
    const auto answer = answer_setup(device_, setup);
    if (trace_)
        std::fprintf(stderr, "sgsim: setup %02x %02x value %04x index %04x length %u: %s\n",
                     setup.request_type, setup.request, setup.value, setup.index, setup.length,
                     answer.stall ? "stall" : "answered");
    // The answer waits for the host's data stage. ep0 blocks for it (while
    // non-blocking, FunctionFS may refuse it at once when busy) and a stop
    // signal may interrupt it.
    const int flags = ::fcntl(ep0_, F_GETFL);
    ::fcntl(ep0_, F_SETFL, flags & ~O_NONBLOCK);
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
    ::fcntl(ep0_, F_SETFL, flags);
    if (trace_ && r < 0 && !answer.stall)
        std::fprintf(stderr, "sgsim: control reply: %s\n", std::strerror(saved_errno));
}

void GadgetSession::start_read(KernelAio& aio) {
    if (!enabled_ || read_in_flight_)
        return;
    const int r = aio.submit(ep_out_, false, out_buf_.data(), out_packet_, kTagRead);
    if (r == 0) {
        read_in_flight_ = true;
    } else if (trace_) {
        std::fprintf(stderr, "sgsim: bulk-out read not queued: %s\n", std::strerror(-r));
    }
}

void GadgetSession::on_read(KernelAio& aio, std::int64_t result) {
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
        const std::span<const std::uint8_t> data(
            out_buf_.data(), std::min(static_cast<std::size_t>(result), out_buf_.size()));
        if (trace_)
            std::fprintf(stderr, "sgsim: bulk-out %zu bytes\n", data.size());
        if (!data.empty() && !device_.bulk_out(data))
            halt_out();
    }
    start_read(aio);
}

void GadgetSession::on_written(const KernelAio::Completion& c) {
    if (writes_in_flight_ > 0)
        --writes_in_flight_;
    if (trace_ && c.result < 0)
        std::fprintf(stderr, "sgsim: bulk-in write: %s\n",
                     std::strerror(static_cast<int>(-c.result)));
}

bool GadgetSession::submit_write(KernelAio& aio, const EndpointWrite& w) {
    const int r = aio.submit(ep_in_, true, in_buf_.data() + w.offset, w.length,
                             w.length == 0 ? kTagZeroLength : kTagWrite);
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
void GadgetSession::halt_out() {
    const ssize_t r = ::write(ep_out_, nullptr, 0);
    if (trace_)
        std::fprintf(stderr, "sgsim: bulk-out halted (%s)\n",
                     r < 0 ? std::strerror(errno) : "no error");
    device_.clear_halt(UsbtmcDevice::kBulkOutEndpoint);
}

// As halt_out(), for both endpoints; a transfer against the IN endpoint's
// direction halts it (refused while a write waits to be sent).
void GadgetSession::halt_after_host() {
    if (!device_.host_gone())
        return;
    halt_out();
    const ssize_t r = ::read(ep_in_, nullptr, 0);
    if (trace_)
        std::fprintf(stderr, "sgsim: bulk-in halted (%s)\n",
                     r < 0 ? std::strerror(errno) : "no error");
    device_.clear_halt(UsbtmcDevice::kBulkInEndpoint);
}

}  // namespace sgsim::gadget
