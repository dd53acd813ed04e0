// The interrupt-IN endpoint of a simulated instrument: a connection of its
// own to the device's socket, on which INTERRUPT_IN requests wait for the
// device's notifications, so that reading it never gets in the way of the
// transfers on the link's connection.
//
// The device gives each notification to every connection whose INTERRUPT_IN
// waits when it is made, and keeps it while none waits. Several processes
// reading at once would take each other's notifications (a status byte one
// of them asked for, a service request while the one waiting for it was
// between two reads), so a process reads only while it holds the
// instrument, as on USB only the process that claims the interface reads
// its endpoint: the link opens its gate when it is acquired and closes it
// when it is relinquished, after the read in progress has taken its
// INTERRUPT_IN back. What the device makes meanwhile waits for the next
// holder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "usbtmc/usb_link.h"

namespace sgvisa::localbus {

// Whether the link's process may read the interrupt-IN endpoint now. Shared
// by a link and its interrupt source. Thread-safe.
class InterruptGate {
  public:
    // The link holds the instrument: a read waiting for the gate goes on.
    void open();
    // The link lets the instrument go: a read in progress takes its
    // INTERRUPT_IN back (the device then keeps what it makes), waited for
    // at most `bound`, and later reads wait until the gate opens again.
    void close(std::chrono::milliseconds bound);

  private:
    friend class LocalbusInterruptSource;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool reading_ = false;    // an INTERRUPT_IN of the source may wait at the device
    int wake_fd_ = -1;        // the source's eventfd, which ends its waits
    bool cancelled_ = false;  // the source's reader was cancelled (until resumed)
};

// A reader of the device at `socket_path`. It connects when first read and
// keeps the connection between reads; a cancelled read takes its
// INTERRUPT_IN back (CANCEL), so that the device keeps what it makes next
// for the next read, and returns the packet that crossed the CANCEL, if one
// did.
// It reads only while `gate` is open.
std::unique_ptr<usbtmc::InterruptSource> make_localbus_interrupt_source(
    std::string socket_path, std::shared_ptr<InterruptGate> gate);

}  // namespace sgvisa::localbus
