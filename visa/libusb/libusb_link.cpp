#include "libusb_link.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "async_transfer.h"
#include "libusb/libusb_library.h"
#include "libusb_interface_claim.h"
#include "transport/process_descriptors.h"

namespace sgvisa::libusb {
namespace {

// How long a cancelled transfer is waited for. The kernel completes a
// discarded URB before the discard returns, so this is only a bound.
constexpr auto kReapBound = std::chrono::milliseconds(1000);
// The time a stalled bulk endpoint's halt clearing gets, whatever is left
// of the transfer's own deadline.
constexpr auto kStallClearBound = std::chrono::milliseconds(1000);

// CLEAR_FEATURE(ENDPOINT_HALT): a standard request to an endpoint, host to
// device, no data.
constexpr std::uint8_t kClearFeatureRequestType = 0x02;
constexpr std::uint16_t kEndpointHalt = 0;

class LibusbLink final : public usbtmc::UsbLink {
  public:
    explicit LibusbLink(std::unique_ptr<LibusbDevice> device)
        : device_(std::move(device)),
          out_(std::make_unique<AsyncTransfer>(device_->runtime())),
          request_(std::make_unique<AsyncTransfer>(device_->runtime())),
          in_(std::make_unique<AsyncTransfer>(device_->runtime())),
          control_(std::make_unique<AsyncTransfer>(device_->runtime())),
          cancel_fd_(open_process_eventfd()) {}

    // False when libusb could not allocate a transfer.
    bool transfers_allocated() const {
        return out_->valid() && request_->valid() && in_->valid() && control_->valid();
    }
    bool cancellable() const { return cancel_fd_ >= 0; }

    ~LibusbLink() override {
        bool sent = false;
        drop_posted(sent);
        if (wedged_) {
            // A transfer never came back: libusb still refers to it and to
            // the device, so neither is freed.
            (void)device_.release();
        } else if (!lost_) {
            release_usbtmc_interface(*device_, claimed_, detached_);
        }
        close_process_descriptor(cancel_fd_);
    }

    LibusbLink(const LibusbLink&) = delete;
    LibusbLink& operator=(const LibusbLink&) = delete;

    // The claim follows the session layer's access lock: acquire() and
    // relinquish() are never called at once (one holds the lock, the other
    // lets it go), and the interrupt reader reads only in between.
    ViStatus acquire(Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        {
            std::lock_guard lock(claim_mutex_);
            if (claimed_)
                return VI_SUCCESS;
        }
        bool detached = false;
        const ViStatus st = claim_usbtmc_interface(*device_, deadline, cancel_fd_, detached);
        {
            std::lock_guard lock(claim_mutex_);
            detached_ = detached_ || detached;
            claimed_ = st == VI_SUCCESS;
            claim_changed_.notify_all();  // the interrupt reader may read
        }
        return note(st);
    }

    // Another process can take the interface only once it is released, so
    // it is, after every operation; the kernel driver stays detached. The
    // interrupt reader's transfer is taken back first (the kernel lets only
    // the claiming process read the endpoint): a notification the device
    // makes meanwhile waits in the endpoint until the next claim.
    void relinquish() override {
        std::unique_lock lock(claim_mutex_);
        if (!claimed_)
            return;
        claimed_ = false;
        if (interrupt_in_flight_ != nullptr) {
            interrupt_in_flight_->cancel();
            // Reaped by the reader's own wait, which the cancel ends.
            claim_changed_.wait_for(lock, kReapBound,
                                    [this] { return interrupt_in_flight_ == nullptr; });
        }
        if (!lost_)
            device_->api().release_interface(device_->handle(), facts().interface_number);
    }

    std::unique_ptr<usbtmc::InterruptSource> open_interrupt_source() override;
    bool interrupt_in_needs_claim() const override { return true; }

    LibusbDevice& device() { return *device_; }
    bool lost() const { return lost_; }

    ViStatus bulk_out(std::span<const std::uint8_t> data, Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        out_->prepare_bulk_out(device_->handle(), facts().bulk_out_endpoint, data);
        const ViStatus st = run(out_, deadline);
        if (st == VI_ERROR_IO && stalled_)
            return clear_stall(facts().bulk_out_endpoint);
        if (st == VI_SUCCESS && out_->actual_length() != data.size())
            return VI_ERROR_IO;
        return st;
    }

    ViStatus bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        got = 0;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        in_->prepare_bulk_in(device_->handle(), facts().bulk_in_endpoint, buf.size());
        return received_into(buf, got, run(in_, deadline));
    }

    // Both transfers are submitted at once and reaped by the same event
    // handling: the bulk-IN waits at the device for the answer.
    ViStatus bulk_out_in(std::span<const std::uint8_t> out, std::span<std::uint8_t> buf,
                         std::size_t& got, Deadline deadline, bool& sent) override {
        got = 0;
        sent = false;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        const ViStatus st = post(out, buf.size());
        return st == VI_SUCCESS ? collect_posted(buf, got, deadline, sent) : st;
    }

    // The message's transfer, then the request and the bulk-IN behind it,
    // all submitted before the wait for the first.
    ViStatus bulk_out_posting(std::span<const std::uint8_t> data,
                              std::span<const std::uint8_t> request, std::size_t in_size,
                              Deadline deadline, bool& posted) override {
        posted = false;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        out_->prepare_bulk_out(device_->handle(), facts().bulk_out_endpoint, data);
        ViStatus st = start(*out_);
        if (st != VI_SUCCESS)
            return st;
        posted = post(request, in_size) == VI_SUCCESS;
        st = finish(out_, deadline);
        if (st == VI_SUCCESS && out_->actual_length() != data.size())
            st = VI_ERROR_IO;
        if (st == VI_SUCCESS)
            return VI_SUCCESS;
        if (posted) {
            bool request_sent = false;
            drop_posted(request_sent);
            posted = false;
        }
        return st == VI_ERROR_IO && stalled_ ? clear_stall(facts().bulk_out_endpoint) : st;
    }

    ViStatus collect_posted(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                            bool& sent) override {
        got = 0;
        sent = false;
        if (!posted_)
            return VI_ERROR_SYSTEM_ERROR;
        posted_ = false;
        in_->await(deadline, request_.get());  // until the answer, or a failed request
        ViStatus st = finish(request_, deadline);
        if (st == VI_SUCCESS && request_->actual_length() != request_size_)
            st = VI_ERROR_IO;
        if (st != VI_SUCCESS) {
            const bool stalled = st == VI_ERROR_IO && stalled_;
            take_back(in_);
            return stalled ? clear_stall(facts().bulk_out_endpoint) : st;
        }
        sent = true;
        return received_into(buf, got, finish(in_, deadline));
    }

    void drop_posted(bool& sent) override {
        sent = false;
        if (!posted_)
            return;
        posted_ = false;
        take_back(request_);
        sent = request_ && request_->status() == LIBUSB_TRANSFER_COMPLETED &&
               request_->actual_length() == request_size_;
        if (in_)
            take_back(in_);
    }

    ViStatus control_in(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::span<std::uint8_t> buf, std::size_t& got,
                        Deadline deadline) override {
        got = 0;
        if (lost_)
            return VI_ERROR_CONN_LOST;
        const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(buf.size(), 0xFFFF));
        control_->prepare_control(device_->handle(), request_type, request, value, index, length);
        const ViStatus st = run(control_, deadline);  // a stall is VI_ERROR_IO
        if (st != VI_SUCCESS)
            return st;
        const auto received = control_->received();
        got = std::min<std::size_t>(received.size(), length);
        std::copy_n(received.begin(), got, buf.begin());
        return VI_SUCCESS;
    }

    // `data` is at most a control transfer's wLength (the caller's bound).
    ViStatus control_out(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::span<const std::uint8_t> data,
                         Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (data.size() > 0xFFFF)
            return VI_ERROR_INV_PARAMETER;
        control_->prepare_control_out(device_->handle(), request_type, request, value, index, data);
        return run(control_, deadline);  // a stall is VI_ERROR_IO
    }

    // CLEAR_FEATURE(ENDPOINT_HALT) as an asynchronous control transfer,
    // bounded by `deadline` like any other (libusb_clear_halt waits on the
    // kernel's own 5 s), then the host's side of the endpoint reset as the
    // kernel does after its own clear: USBDEVFS_RESETEP sets the data toggle
    // back to DATA0, with no USB traffic.
    ViStatus clear_halt(std::uint8_t endpoint, Deadline deadline) override {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        control_->prepare_control(device_->handle(), kClearFeatureRequestType,
                                  LIBUSB_REQUEST_CLEAR_FEATURE, kEndpointHalt, endpoint, 0);
        const ViStatus st = run(control_, deadline);
        if (st != VI_SUCCESS)
            return st;
        unsigned int address = endpoint;
        if (::ioctl(device_->fd(), USBDEVFS_RESETEP, &address) != 0)
            return errno == ENODEV ? lose() : VI_ERROR_IO;
        return VI_SUCCESS;
    }

    void cancel() override {
        cancelled_ = true;
        const std::uint64_t one = 1;
        (void)!::write(cancel_fd_, &one, sizeof one);
        std::lock_guard lock(flight_mutex_);
        for (AsyncTransfer* t : in_flight_) {
            if (t)
                t->cancel();
        }
    }

    // Every operation starts here: the descriptor is read only after a cancel.
    void resume() override {
        std::lock_guard lock(flight_mutex_);
        std::uint64_t count = 0;
        if (cancelled_.exchange(false))
            (void)!::read(cancel_fd_, &count, sizeof count);
    }

    const UsbDeviceFacts& facts() const override { return device_->facts(); }

  private:
    // Submits the bulk-OUT transfer of `request` and a bulk-IN transfer of
    // `in_size` bytes, both left in flight (posted_).
    ViStatus post(std::span<const std::uint8_t> request, std::size_t in_size) {
        request_->prepare_bulk_out(device_->handle(), facts().bulk_out_endpoint, request);
        request_size_ = request.size();
        in_->prepare_bulk_in(device_->handle(), facts().bulk_in_endpoint, in_size);
        ViStatus st = start(*request_);
        if (st != VI_SUCCESS)
            return st;
        st = start(*in_);
        if (st != VI_SUCCESS) {
            take_back(request_);
            return st;
        }
        posted_ = true;
        return VI_SUCCESS;
    }

    // Submits `t` unless the link is cancelled, and records it as in flight
    // so that cancel() reaches it.
    ViStatus start(AsyncTransfer& t) {
        stalled_ = false;
        std::lock_guard lock(flight_mutex_);
        if (cancelled_)
            return VI_ERROR_ABORT;
        const auto slot = std::find(in_flight_.begin(), in_flight_.end(), nullptr);
        if (slot == in_flight_.end())
            return VI_ERROR_SYSTEM_ERROR;
        const int r = t.submit();
        if (r != LIBUSB_SUCCESS)
            return note(status_from_libusb(r));
        *slot = &t;
        return VI_SUCCESS;
    }

    // Waits for `t` until `deadline`; past it, cancels it and waits for the
    // cancellation (kReapBound). Leaves it out of flight.
    ViStatus finish(std::unique_ptr<AsyncTransfer>& t, Deadline deadline) {
        bool done = t->await(deadline);
        const bool gave_up = !done;
        if (gave_up) {
            t->cancel();
            done = t->await(Clock::now() + kReapBound);
        }
        {
            std::lock_guard lock(flight_mutex_);
            std::replace(in_flight_.begin(), in_flight_.end(), t.get(),
                         static_cast<AsyncTransfer*>(nullptr));
        }
        if (!done) {
            (void)t.release();  // libusb may still write to it
            wedged_ = true;
            return lose();
        }
        const libusb_transfer_status status = t->status();
        if (status == LIBUSB_TRANSFER_CANCELLED) {
            if (cancelled_)
                return VI_ERROR_ABORT;
            return gave_up ? VI_ERROR_TMO : VI_ERROR_IO;
        }
        stalled_ = status == LIBUSB_TRANSFER_STALL;
        return note(status_from_transfer(status));
    }

    ViStatus run(std::unique_ptr<AsyncTransfer>& t, Deadline deadline) {
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        const ViStatus st = start(*t);
        return st == VI_SUCCESS ? finish(t, deadline) : st;
    }

    // The outcome `st` of the bulk-IN transfer: its bytes copied into `buf`,
    // or a stalled endpoint's halt cleared.
    ViStatus received_into(std::span<std::uint8_t> buf, std::size_t& got, ViStatus st) {
        got = 0;
        if (st == VI_ERROR_IO && stalled_)
            return clear_stall(facts().bulk_in_endpoint);
        if (st != VI_SUCCESS)
            return st;
        const auto received = in_->received();
        got = std::min(received.size(), buf.size());
        std::copy_n(received.begin(), got, buf.begin());
        return VI_SUCCESS;
    }

    // Takes back a transfer in flight whose outcome no longer matters: it is
    // cancelled unless it completed, and reaped.
    void take_back(std::unique_ptr<AsyncTransfer>& t) {
        const bool was_stalled = stalled_;
        t->cancel();
        (void)finish(t, Clock::now());
        stalled_ = was_stalled;
    }

    // A stalled bulk endpoint's halt is cleared so that the next transfer
    // can pass; the transfer itself failed.
    ViStatus clear_stall(std::uint8_t endpoint) {
        const ViStatus st = clear_halt(endpoint, Clock::now() + kStallClearBound);
        return st == VI_ERROR_CONN_LOST ? st : VI_ERROR_IO;
    }

    // Never called with claim_mutex_ held.
    ViStatus lose() {
        lost_ = true;
        std::lock_guard lock(claim_mutex_);
        claim_changed_.notify_all();  // an interrupt reader waiting for the claim
        return VI_ERROR_CONN_LOST;
    }

    ViStatus note(ViStatus st) { return st == VI_ERROR_CONN_LOST ? lose() : st; }

    std::unique_ptr<LibusbDevice> device_;
    std::unique_ptr<AsyncTransfer> out_;
    std::unique_ptr<AsyncTransfer> request_;  // a request for a reply, with in_ behind it
    std::unique_ptr<AsyncTransfer> in_;
    std::unique_ptr<AsyncTransfer> control_;
    int cancel_fd_;  // eventfd, readable while cancelled: ends a claim's wait
    std::mutex flight_mutex_;
    // Transfers in flight: a message's bulk-OUT, the request for its reply
    // and the bulk-IN may be at once.
    std::array<AsyncTransfer*, 3> in_flight_{};
    bool posted_ = false;  // request_ and in_ are in flight for collect_posted()
    std::size_t request_size_ = 0;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> lost_{false};
    bool stalled_ = false;  // the last transfer ended with a stall
    bool wedged_ = false;
    friend class LibusbInterruptSource;
    std::mutex claim_mutex_;  // the claim and the interrupt reader's transfer
    std::condition_variable claim_changed_;
    bool claimed_ = false;
    bool detached_ = false;
    AsyncTransfer* interrupt_in_flight_ = nullptr;  // the interrupt reader's, while submitted
};

// Reads the interrupt-IN endpoint with one asynchronous transfer at a time,
// from the channel's thread, while the link carries the other transfers;
// only while the link holds the claim, which it takes and gives up with the
// instrument's access lock (the reader never claims by itself).
class LibusbInterruptSource final : public usbtmc::InterruptSource {
  public:
    explicit LibusbInterruptSource(LibusbLink& link)
        : link_(link), transfer_(std::make_unique<AsyncTransfer>(link.device().runtime())) {}
    ~LibusbInterruptSource() override {
        if (wedged_)
            (void)transfer_.release();  // libusb may still write to it
    }

    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        got = 0;
        for (;;) {
            if (link_.lost() || wedged_)
                return VI_ERROR_CONN_LOST;
            const ViStatus submitted = submit_when_claimed(buf.size(), deadline);
            if (submitted != VI_SUCCESS)
                return submitted;
            bool done = transfer_->await(deadline);
            const bool gave_up = !done;
            if (gave_up) {
                transfer_->cancel();
                done = transfer_->await(Clock::now() + kReapBound);
            }
            bool cancelled = false;
            {
                std::lock_guard lock(link_.claim_mutex_);
                link_.interrupt_in_flight_ = nullptr;
                link_.claim_changed_.notify_all();  // relinquish() waits for this
                cancelled = cancelled_;
            }
            if (!done) {
                wedged_ = true;
                return VI_ERROR_CONN_LOST;
            }
            switch (transfer_->status()) {
                case LIBUSB_TRANSFER_COMPLETED: {
                    const auto received = transfer_->received();
                    got = std::min(received.size(), buf.size());
                    std::copy_n(received.begin(), got, buf.begin());
                    return VI_SUCCESS;
                }
                case LIBUSB_TRANSFER_CANCELLED:
                    if (gave_up)
                        return VI_ERROR_TMO;
                    if (cancelled)
                        return VI_ERROR_ABORT;
                    continue;  // the link let the claim go: read again once it has it back
                default:
                    return status_from_transfer(transfer_->status());
            }
        }
    }

    void cancel() override {
        std::lock_guard lock(link_.claim_mutex_);
        cancelled_ = true;
        if (link_.interrupt_in_flight_ != nullptr)
            link_.interrupt_in_flight_->cancel();
        link_.claim_changed_.notify_all();
    }

    void resume() override {
        std::lock_guard lock(link_.claim_mutex_);
        cancelled_ = false;
    }

  private:
    // Waits until the link holds the claim (VI_ERROR_TMO at `deadline`,
    // VI_ERROR_ABORT once cancelled), then submits the transfer.
    ViStatus submit_when_claimed(std::size_t size, Deadline deadline) {
        std::unique_lock lock(link_.claim_mutex_);
        const auto ready = [this] { return link_.claimed_ || cancelled_ || link_.lost(); };
        if (deadline == Deadline::max())
            link_.claim_changed_.wait(lock, ready);
        else if (!link_.claim_changed_.wait_until(lock, deadline, ready))
            return VI_ERROR_TMO;
        if (cancelled_)
            return VI_ERROR_ABORT;
        if (link_.lost())
            return VI_ERROR_CONN_LOST;
        // One packet at a time: a transfer longer than the endpoint's
        // packet would wait for more after a full-size packet.
        const std::size_t packet = link_.facts().interrupt_packet_size;
        const std::size_t length = packet > 0 ? std::min(packet, size) : size;
        transfer_->prepare_interrupt_in(link_.device().handle(),
                                        link_.facts().interrupt_in_endpoint,
                                        std::max<std::size_t>(length, 1));
        const int r = transfer_->submit();
        if (r != LIBUSB_SUCCESS)
            return status_from_libusb(r);
        link_.interrupt_in_flight_ = transfer_.get();
        return VI_SUCCESS;
    }

    LibusbLink& link_;
    std::unique_ptr<AsyncTransfer> transfer_;
    bool cancelled_ = false;  // guarded by the link's claim_mutex_
    bool wedged_ = false;
};

std::unique_ptr<usbtmc::InterruptSource> LibusbLink::open_interrupt_source() {
    if (facts().interrupt_in_endpoint == 0)
        return nullptr;
    auto source = std::make_unique<LibusbInterruptSource>(*this);
    return source;
}

}  // namespace

ViStatus make_libusb_link(std::unique_ptr<LibusbDevice> device,
                          std::unique_ptr<usbtmc::UsbLink>& out) {
    if (!device)
        return VI_ERROR_SYSTEM_ERROR;
    auto link = std::make_unique<LibusbLink>(std::move(device));
    if (!link->transfers_allocated())
        return VI_ERROR_ALLOC;
    if (!link->cancellable())
        return VI_ERROR_SYSTEM_ERROR;
    out = std::move(link);
    return VI_SUCCESS;
}

}  // namespace sgvisa::libusb
