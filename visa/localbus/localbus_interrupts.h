// The interrupt-IN endpoint of a simulated instrument: a connection of its
// own to the device's socket, on which INTERRUPT_IN requests wait for the
// device's notifications (every waiting connection gets each one, whoever
// holds the claim), so that reading it never gets in the way of the
// transfers on the link's connection.
#pragma once

#include <memory>
#include <string>

#include "usb_link.h"

namespace sgvisa {

// A reader of the device at `socket_path`. It connects when first read and
// keeps the connection between reads; a cancelled read takes its
// INTERRUPT_IN back (CANCEL), so that the device keeps what it makes next
// for the next read, and returns the packet that crossed the CANCEL, if one
// did.
std::unique_ptr<InterruptSource> make_localbus_interrupt_source(std::string socket_path);

}  // namespace sgvisa
