#include "localbus_link.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "frame_socket.h"
#include "localbus_interrupts.h"
#include "trace/trace_reason.h"
#include "transport/process_descriptors.h"

namespace sgvisa::localbus {

namespace lb = sgproto::localbus;

namespace {

// How long a timed-out bulk-IN waits for the answer to its cancellation, so
// that the stream stays in step with the device.
constexpr auto kCancelBound = std::chrono::milliseconds(200);

}  // namespace

UsbDeviceFacts facts_from_hello(const lb::DeviceHello& hello, std::string serial) {
    UsbDeviceFacts f;
    f.vendor_id = hello.vendor_id;
    f.product_id = hello.product_id;
    f.serial = std::move(serial);
    f.interface_number = hello.interface_number;
    f.bulk_out_endpoint = hello.bulk_out_endpoint;
    f.bulk_in_endpoint = hello.bulk_in_endpoint;
    f.interface_protocol = hello.interface_protocol;
    f.interrupt_in_endpoint = hello.interrupt_in_endpoint;
    f.interrupt_packet_size = hello.interrupt_in_packet_size;
    f.max_packet_size = hello.max_packet_size;
    return f;
}

LocalbusLink::LocalbusLink(int fd, UsbDeviceFacts facts, std::uint32_t first_seq, bool claimed,
                           std::string socket_path)
    : fd_(fd),
      cancel_fd_(open_process_eventfd()),
      socket_path_(std::move(socket_path)),
      facts_(std::move(facts)),
      next_seq_(first_seq),
      claimed_(claimed) {}

LocalbusLink::~LocalbusLink() {
    close_process_descriptor(fd_);
    close_process_descriptor(cancel_fd_);
}

std::unique_ptr<usbtmc::InterruptSource> LocalbusLink::open_interrupt_source() {
    if (facts_.interrupt_in_endpoint == 0 || socket_path_.empty())
        return nullptr;
    return make_localbus_interrupt_source(socket_path_, gate_);
}

void LocalbusLink::cancel() {
    const std::uint64_t one = 1;
    if (cancel_fd_ >= 0)
        (void)!::write(cancel_fd_, &one, sizeof one);
    cancelled_ = true;
}

// Every operation starts here: the descriptor is read only after a cancel.
void LocalbusLink::resume() {
    std::uint64_t count = 0;
    if (cancelled_.exchange(false) && cancel_fd_ >= 0)
        (void)!::read(cancel_fd_, &count, sizeof count);
}

ViStatus LocalbusLink::lost() {
    lost_ = true;
    return VI_ERROR_CONN_LOST;
}

ViStatus LocalbusLink::flush_tx(Deadline deadline, bool interruptible) {
    if (tx_.empty())
        return VI_SUCCESS;
    std::size_t sent = 0;
    const ViStatus st = localbus::send_all(fd_, tx_, deadline, sent, cancel_fd(interruptible));
    tx_.erase(tx_.begin(), tx_.begin() + static_cast<std::ptrdiff_t>(sent));
    if (st == VI_ERROR_CONN_LOST)
        return lost();
    return st;
}

std::uint32_t LocalbusLink::queue_request(std::uint8_t type, std::uint32_t param,
                                          std::span<const std::uint8_t> payload) {
    const std::uint32_t seq = next_seq_++;
    // Frames are queued whole, so a send cut short by the deadline is
    // completed before the next request and the stream stays framed.
    const auto frame = lb::encode_frame(type, 0, seq, param, payload);
    tx_.insert(tx_.end(), frame.begin(), frame.end());
    return seq;
}

ViStatus LocalbusLink::send_request(std::uint8_t type, std::uint32_t param,
                                    std::span<const std::uint8_t> payload, Deadline deadline,
                                    std::uint32_t& seq, bool interruptible) {
    if (lost_)
        return VI_ERROR_CONN_LOST;
    if (payload.size() > lb::kMaxPayload)
        return VI_ERROR_IO;
    seq = queue_request(type, param, payload);
    return flush_tx(deadline, interruptible);
}

ViStatus LocalbusLink::wait_answer(std::uint8_t type, std::uint32_t seq, Deadline deadline,
                                   Answer& out, bool interruptible) {
    if (lost_)
        return VI_ERROR_CONN_LOST;
    for (;;) {
        const ViStatus st = flush_tx(deadline, interruptible);
        if (st != VI_SUCCESS)
            return st;
        lb::FrameHeader h{};
        const ViStatus rst =
            localbus::receive_frame(fd_, rx_, deadline, h, out.payload, cancel_fd(interruptible));
        if (rst == VI_ERROR_CONN_LOST || rst == VI_ERROR_IO)
            return lost();
        if (rst != VI_SUCCESS)
            return rst;
        // The answer echoes both: a frame that echoes only the seq answers
        // nothing this link asked.
        if (h.seq == seq && h.type == type) {
            out.status = h.status;
            if (out.status == lb::STATUS_NOT_CLAIMED)
                claim_moved_ = true;
            else if (type == lb::BULK_IN && out.status == lb::STATUS_OK)
                claim_moved_ = false;
            return VI_SUCCESS;
        }
        // The late answer of a request given up on, or a frame that answers
        // nothing. Frames already received are taken without a wait, so the
        // deadline and a cancel are looked at here too: a device that sends
        // without pause would otherwise keep this loop for ever.
        if (interruptible && cancelled_.load())
            return VI_ERROR_ABORT;
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
    }
}

ViStatus LocalbusLink::acquire(Deadline deadline) {
    const ViStatus st = claim(deadline);
    if (st == VI_SUCCESS)
        gate_->open();
    return st;
}

void LocalbusLink::relinquish() {
    gate_->close(kCancelBound + kCancelBound);
}

ViStatus LocalbusLink::claim(Deadline deadline) {
    if (lost_)
        return VI_ERROR_CONN_LOST;
    if (claimed_)
        return VI_SUCCESS;
    constexpr std::uint32_t kTakeOver = 1;
    const auto started = Clock::now();
    std::uint32_t seq = 0;
    Answer a;
    ViStatus st = send_request(lb::CLAIM, kTakeOver, {}, deadline, seq);
    if (st == VI_SUCCESS)
        st = wait_answer(lb::CLAIM, seq, deadline, a);
    if (st == VI_ERROR_TMO || st == VI_ERROR_ABORT) {
        // Still queued behind a holder that does not let go, or given up
        // on: the request goes back, so that a late grant does not hold the
        // device, and the next CLAIM is a new request the device answers
        // (it answers only the first of a connection's waiting CLAIMs).
        const Deadline bound = Clock::now() + kCancelBound;
        std::uint32_t release_seq = 0;
        if (send_request(lb::RELEASE, 0, {}, bound, release_seq, false) == VI_SUCCESS) {
            Answer late;
            wait_answer(lb::RELEASE, release_seq, bound, late, false);
        }
        if (lost_)
            return VI_ERROR_CONN_LOST;
        if (st == VI_ERROR_TMO) {
            // A take-over is granted at once unless the holder's read is
            // pending: a claim unanswered is a device that does not answer,
            // not another session's lock (those are the lock file's).
            trace::note_reason([&] {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
                return "the device did not answer its claim within " + std::to_string(ms.count()) +
                       " ms: it is there but does not answer (a stopped or hung simulator, or "
                       "another program reading from it)";
            });
        }
        return st;
    }
    if (st != VI_SUCCESS)
        return st;
    if (a.status != lb::STATUS_OK)
        return VI_ERROR_IO;
    claimed_ = true;
    return VI_SUCCESS;
}

ViStatus LocalbusLink::transact_once(std::uint8_t type, std::uint32_t param,
                                     std::span<const std::uint8_t> payload, Deadline deadline,
                                     Answer& out) {
    std::uint32_t seq = 0;
    ViStatus st = send_request(type, param, payload, deadline, seq);
    if (st != VI_SUCCESS)
        return st;
    return wait_answer(type, seq, deadline, out);
}

ViStatus LocalbusLink::transact(std::uint8_t type, std::uint32_t param,
                                std::span<const std::uint8_t> payload, Deadline deadline,
                                Answer& out) {
    ViStatus st = transact_once(type, param, payload, deadline, out);
    if (st == VI_SUCCESS && out.status == lb::STATUS_NOT_CLAIMED) {
        // Another process took the claim over between our operations; the
        // refused request was not carried out.
        claimed_ = false;
        st = acquire(deadline);
        if (st == VI_SUCCESS)
            st = transact_once(type, param, payload, deadline, out);
    }
    if (st != VI_SUCCESS)
        return st;
    return out.status == lb::STATUS_OK ? VI_SUCCESS : VI_ERROR_IO;
}

ViStatus LocalbusLink::bulk_out(std::span<const std::uint8_t> data, Deadline deadline) {
    Answer a;
    const ViStatus st = transact(lb::BULK_OUT, 0, data, deadline, a);
    if (st == VI_ERROR_IO && a.status == lb::STATUS_STALL)
        return clear_stall(bulk_out_endpoint(), deadline);
    return st;
}

ViStatus LocalbusLink::clear_stall(std::uint8_t endpoint, Deadline deadline) {
    const ViStatus st = clear_halt(endpoint, deadline);
    return st == VI_ERROR_CONN_LOST ? st : VI_ERROR_IO;
}

ViStatus LocalbusLink::bulk_in(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) {
    std::uint8_t status = lb::STATUS_OK;
    ViStatus st = bulk_in_once(buf, got, deadline, status);
    if (st == VI_SUCCESS && status == lb::STATUS_NOT_CLAIMED) {
        claimed_ = false;
        st = acquire(deadline);
        if (st == VI_SUCCESS)
            st = bulk_in_once(buf, got, deadline, status);
    }
    return bulk_in_outcome(st, status, deadline);
}

ViStatus LocalbusLink::bulk_in_outcome(ViStatus st, std::uint8_t status, Deadline deadline) {
    if (st != VI_SUCCESS)
        return st;
    if (status == lb::STATUS_CANCELLED)
        return VI_ERROR_TMO;
    if (status == lb::STATUS_STALL)
        return clear_stall(bulk_in_endpoint(), deadline);
    return status == lb::STATUS_OK ? VI_SUCCESS : VI_ERROR_IO;
}

ViStatus LocalbusLink::bulk_out_in(std::span<const std::uint8_t> out, std::span<std::uint8_t> buf,
                                   std::size_t& got, Deadline deadline, bool& sent) {
    got = 0;
    sent = false;
    if (buf.empty() || out.size() > lb::kMaxPayload)
        return usbtmc::UsbLink::bulk_out_in(out, buf, got, deadline, sent);
    if (lost_)
        return VI_ERROR_CONN_LOST;
    const Posted p = post(out, buf.size());
    return finish_out_in(p, flush_tx(deadline, true), buf, got, deadline, sent);
}

ViStatus LocalbusLink::bulk_out_posting(std::span<const std::uint8_t> data,
                                        std::span<const std::uint8_t> request, std::size_t in_size,
                                        Deadline deadline, bool& posted) {
    posted = false;
    if (data.size() > lb::kMaxPayload || request.size() > lb::kMaxPayload || in_size == 0)
        return usbtmc::UsbLink::bulk_out_posting(data, request, in_size, deadline, posted);
    for (int attempt = 0;; ++attempt) {
        if (lost_)
            return VI_ERROR_CONN_LOST;
        const std::uint32_t seq = queue_request(lb::BULK_OUT, 0, data);
        posted_ = post(request, in_size);
        posting_ = true;
        Answer a;
        ViStatus st = flush_tx(deadline, true);
        if (st == VI_SUCCESS)
            st = wait_answer(lb::BULK_OUT, seq, deadline, a);
        if (st == VI_SUCCESS && a.status == lb::STATUS_OK) {
            posted = true;
            return VI_SUCCESS;
        }
        bool sent = false;
        drop_posted(sent);
        if (st != VI_SUCCESS)
            return lost_ ? VI_ERROR_CONN_LOST : st;
        if (a.status == lb::STATUS_NOT_CLAIMED && attempt == 0) {
            // Another process took the claim over between our operations;
            // none of the frames was carried out.
            claimed_ = false;
            st = acquire(deadline);
            if (st != VI_SUCCESS)
                return st;
            continue;
        }
        if (a.status == lb::STATUS_STALL)
            return clear_stall(bulk_out_endpoint(), deadline);
        return VI_ERROR_IO;
    }
}

ViStatus LocalbusLink::collect_posted(std::span<std::uint8_t> buf, std::size_t& got,
                                      Deadline deadline, bool& sent) {
    got = 0;
    sent = false;
    if (!posting_)
        return VI_ERROR_SYSTEM_ERROR;
    posting_ = false;
    return finish_out_in(posted_, VI_SUCCESS, buf, got, deadline, sent);
}

void LocalbusLink::drop_posted(bool& sent) {
    sent = false;
    if (!posting_)
        return;
    posting_ = false;
    // The BULK_IN is cancelled, and both answers consumed so that the
    // stream stays in step; this short wait is not cut by cancel().
    const Deadline bound = Clock::now() + kCancelBound;
    std::uint32_t cancel_seq = 0;
    if (send_request(lb::CANCEL, posted_.in_seq, {}, bound, cancel_seq, false) != VI_SUCCESS)
        return;
    Answer a;
    sent = wait_answer(lb::BULK_OUT, posted_.request_seq, bound, a, false) == VI_SUCCESS &&
           a.status == lb::STATUS_OK;
    Answer late;
    wait_answer(lb::BULK_IN, posted_.in_seq, bound, late, false);
}

LocalbusLink::Posted LocalbusLink::post(std::span<const std::uint8_t> request,
                                        std::size_t in_size) {
    Posted p;
    p.request.assign(request.begin(), request.end());
    p.max = static_cast<std::uint32_t>(std::min<std::size_t>(in_size, lb::kMaxPayload));
    p.request_seq = queue_request(lb::BULK_OUT, 0, request);
    p.in_seq = queue_request(lb::BULK_IN, p.max, {});
    return p;
}

ViStatus LocalbusLink::finish_out_in(const Posted& p, ViStatus sending, std::span<std::uint8_t> buf,
                                     std::size_t& got, Deadline deadline, bool& sent) {
    std::uint8_t out_status = lb::STATUS_OK;
    std::uint8_t in_status = lb::STATUS_OK;
    ViStatus st = collect(p, sending, buf, got, deadline, sent, out_status, in_status);
    if (st == VI_SUCCESS && !sent && out_status == lb::STATUS_NOT_CLAIMED) {
        // Another process took the claim over between our operations;
        // neither transfer was carried out.
        claimed_ = false;
        st = acquire(deadline);
        if (st == VI_SUCCESS) {
            const Posted again = post(p.request, p.max);
            st = collect(again, flush_tx(deadline, true), buf, got, deadline, sent, out_status,
                         in_status);
        }
    }
    if (!sent) {
        if (st != VI_SUCCESS)
            return st;
        if (out_status == lb::STATUS_STALL)
            return clear_stall(bulk_out_endpoint(), deadline);
        return VI_ERROR_IO;
    }
    if (st == VI_SUCCESS && in_status == lb::STATUS_NOT_CLAIMED) {
        claimed_ = false;
        st = acquire(deadline);
        if (st == VI_SUCCESS)
            st = bulk_in_once(buf, got, deadline, in_status);
    }
    return bulk_in_outcome(st, in_status, deadline);
}

ViStatus LocalbusLink::collect(const Posted& p, ViStatus sending, std::span<std::uint8_t> buf,
                               std::size_t& got, Deadline deadline, bool& sent,
                               std::uint8_t& out_status, std::uint8_t& in_status) {
    got = 0;
    sent = false;
    ViStatus st = sending;
    Answer a;
    if (st == VI_SUCCESS)
        st = wait_answer(lb::BULK_OUT, p.request_seq, deadline, a);
    if (st != VI_SUCCESS || a.status != lb::STATUS_OK) {
        // The BULK_IN waits at the device (a refused one is answered at
        // once): it is taken back before anything else is sent.
        take_back_bulk_in(p.in_seq);
        out_status = a.status;
        return lost_ ? VI_ERROR_CONN_LOST : st;
    }
    sent = true;
    const auto max = static_cast<std::uint32_t>(std::min<std::size_t>(p.max, buf.size()));
    return bulk_in_answer(VI_SUCCESS, p.in_seq, max, buf, got, deadline, in_status);
}

void LocalbusLink::take_back_bulk_in(std::uint32_t seq) {
    const Deadline bound = Clock::now() + kCancelBound;
    std::uint32_t cancel_seq = 0;
    if (send_request(lb::CANCEL, seq, {}, bound, cancel_seq, false) == VI_SUCCESS) {
        Answer late;
        wait_answer(lb::BULK_IN, seq, bound, late, false);
    }
}

ViStatus LocalbusLink::bulk_in_once(std::span<std::uint8_t> buf, std::size_t& got,
                                    Deadline deadline, std::uint8_t& status) {
    got = 0;
    status = lb::STATUS_OK;
    if (buf.empty())
        return VI_SUCCESS;
    const auto max = static_cast<std::uint32_t>(std::min<std::size_t>(buf.size(), lb::kMaxPayload));
    std::uint32_t seq = 0;
    const ViStatus st = send_request(lb::BULK_IN, max, {}, deadline, seq);
    return bulk_in_answer(st, seq, max, buf, got, deadline, status);
}

ViStatus LocalbusLink::bulk_in_answer(ViStatus sending, std::uint32_t seq, std::uint32_t max,
                                      std::span<std::uint8_t> buf, std::size_t& got,
                                      Deadline deadline, std::uint8_t& status) {
    got = 0;
    status = lb::STATUS_OK;
    ViStatus st = sending;
    Answer a;
    if (st == VI_SUCCESS)
        st = wait_answer(lb::BULK_IN, seq, deadline, a);
    if (st == VI_ERROR_TMO || st == VI_ERROR_ABORT) {
        // Take the request back and consume its answer (cancelled, or data
        // that came too late and is dropped) so the next one matches. This
        // short wait is not cut by cancel(): the stream must stay in step.
        take_back_bulk_in(seq);
        if (st == VI_ERROR_TMO && claim_moved_) {
            claim_moved_ = false;
            trace::note_reason([] {
                return std::string(
                    "another connection took the instrument over between this session's write "
                    "and its read (a process or session that uses it without a lock), and its "
                    "message discarded the reply: sessions that share an instrument need viLock "
                    "or an exclusive open");
            });
        }
        return lost_ ? VI_ERROR_CONN_LOST : st;
    }
    if (st != VI_SUCCESS)
        return st;
    status = a.status;
    if (status != lb::STATUS_OK)
        return VI_SUCCESS;
    if (a.payload.size() > max)
        return VI_ERROR_IO;  // babble: never stored past `buf`
    std::copy(a.payload.begin(), a.payload.end(), buf.begin());
    got = a.payload.size();
    return VI_SUCCESS;
}

ViStatus LocalbusLink::control_in(std::uint8_t request_type, std::uint8_t request,
                                  std::uint16_t value, std::uint16_t index,
                                  std::span<std::uint8_t> buf, std::size_t& got,
                                  Deadline deadline) {
    got = 0;
    lb::ControlSetup s{};
    s.request_type = request_type;
    s.request = request;
    s.value = value;
    s.index = index;
    s.length = static_cast<std::uint16_t>(std::min<std::size_t>(buf.size(), 0xFFFF));
    Answer a;
    std::array<std::uint8_t, lb::kControlSetupSize> setup{};
    lb::encode_setup(s, setup);
    const ViStatus st = transact(lb::CONTROL_IN, 0, setup, deadline, a);
    if (st != VI_SUCCESS)
        return st;
    if (a.payload.size() > s.length)
        return VI_ERROR_IO;
    std::copy(a.payload.begin(), a.payload.end(), buf.begin());
    got = a.payload.size();
    return VI_SUCCESS;
}

// The setup and the data stage in one CONTROL_OUT frame; STATUS_STALL is
// VI_ERROR_IO, as a stalled CONTROL_IN is.
ViStatus LocalbusLink::control_out(std::uint8_t request_type, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index,
                                   std::span<const std::uint8_t> data, Deadline deadline) {
    if (data.size() > 0xFFFF)
        return VI_ERROR_INV_PARAMETER;
    lb::ControlSetup s{};
    s.request_type = request_type;
    s.request = request;
    s.value = value;
    s.index = index;
    s.length = static_cast<std::uint16_t>(data.size());
    std::vector<std::uint8_t> payload(lb::kControlSetupSize + data.size());
    lb::encode_setup(
        s, std::span<std::uint8_t, lb::kControlSetupSize>(payload.data(), lb::kControlSetupSize));
    std::copy(data.begin(), data.end(), payload.begin() + lb::kControlSetupSize);
    Answer a;
    return transact(lb::CONTROL_OUT, 0, payload, deadline, a);
}

ViStatus LocalbusLink::clear_halt(std::uint8_t endpoint, Deadline deadline) {
    Answer a;
    return transact(lb::CLEAR_HALT, endpoint, {}, deadline, a);
}

}  // namespace sgvisa::localbus
