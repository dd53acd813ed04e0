// The interrupt-IN endpoint of a USB488 interface, read by a thread of the
// channel only while somebody needs it: while service requests are listened
// for, and while a READ_STATUS_BYTE waits for its notification. The thread
// is started at the first need and lives as long as the channel: between
// needs it is parked with no read pending (the device then keeps what it
// makes for the next read), so that there is never more than one reader of
// the source. It blocks in the read (no polling, no CPU while idle) and is
// stopped by cancelling the read. A service request that the read brings
// while it is being stopped is kept and handled when reading resumes, as if
// the device had kept it; packets nobody waits for (stale tags, unknown
// notifications, short packets) are dropped; a flood is bounded by what the
// listener keeps. Thread-safe.
//
// Each packet is a notification of its own (USB488 1.0, 3.4); the formats:
// 3.4.1, Table 6 and 3.4.2, Table 7; a host may ignore a vendor's (USBTMC
// 1.0, 3.4, Table 13).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "usbtmc/usb_link.h"

namespace sgvisa::usbtmc {

class InterruptChannel {
  public:
    explicit InterruptChannel(std::unique_ptr<InterruptSource> source);
    // Stops the reader and waits for it, a listener call included: never
    // from within the listener.
    ~InterruptChannel();
    InterruptChannel(const InterruptChannel&) = delete;
    InterruptChannel& operator=(const InterruptChannel&) = delete;

    // Called on the channel's thread, under no lock of the channel, with the
    // status byte of each service request; an empty function stops
    // listening. Returns at once: a call of the previous listener already in
    // progress may still be running (it may itself call set_listener).
    void set_listener(std::function<void(std::uint8_t status_byte)> listener);

    // Before sending READ_STATUS_BYTE tagged `tag`: the notification that
    // answers it is kept from now on (the device may queue it before its
    // control answer: USB488 1.0, 4.3.1.2).
    void expect(std::uint8_t tag);
    // Then waits for it until `deadline` (VI_ERROR_TMO), or a cancel_waits()
    // (VI_ERROR_ABORT); VI_ERROR_CONN_LOST
    // when the device went away (nothing more comes then); the endpoint's
    // error when reading it failed (the next expect() or listener reads
    // again). Forgets the tag either way.
    ViStatus await(std::uint8_t tag, Deadline deadline, std::uint8_t& status_byte);

    // From any thread: await() and await_packets_after() in progress
    // give up at once with VI_ERROR_ABORT, and so do later ones until
    // resume_waits() (as a link's transfers do between its cancel() and
    // resume()). The reader and the listener go on.
    void cancel_waits();
    void resume_waits();

    // How many packets the reader has taken out of the endpoint so far,
    // whatever they held: each makes room in the device's interrupt-IN FIFO
    // (a status answer of any tag, a service request, a vendor's or an
    // unknown notification alike).
    std::uint64_t packets_read();
    // Waits until the reader has read more than `count` of them (it reads
    // only while somebody needs it): VI_ERROR_TMO at `deadline`,
    // VI_ERROR_ABORT on cancel_waits(), VI_ERROR_CONN_LOST when the device
    // went away.
    ViStatus await_packets_after(std::uint64_t count, Deadline deadline);

  private:
    struct Awaited {
        int status_byte = -1;  // -1 until answered
        ViStatus failure = VI_SUCCESS;
    };

    void run();
    // What the reader does with one packet; caller holds `lock`, which a
    // listener call lets go of meanwhile.
    void handle(std::unique_lock<std::mutex>& lock, std::span<const std::uint8_t> packet);
    // A read failed with `st`; caller holds mutex_.
    void fail(ViStatus st);
    // Wakes the reader for a need, or cancels a read nobody needs any more;
    // starts the thread at the first need. Caller holds mutex_.
    void needs_changed();
    bool needed() const;

    std::unique_ptr<InterruptSource> source_;
    std::mutex mutex_;
    std::condition_variable wake_;      // the parked reader
    std::condition_variable answered_;  // await()
    std::function<void(std::uint8_t)> listener_;
    std::map<std::uint8_t, Awaited> expected_;  // by tag
    std::deque<std::uint8_t> kept_;             // service requests read while stopping
    std::thread reader_;
    std::uint64_t packets_read_ = 0;
    bool reading_ = false;    // the reader is in source_->read()
    bool cancelled_ = false;  // ... and that read has been cancelled
    bool halted_ = false;     // a read failed: none until a new need
    bool lost_ = false;       // the device is gone
    bool closing_ = false;
    bool waits_cancelled_ = false;  // cancel_waits() until resume_waits()
};

}  // namespace sgvisa::usbtmc
