// The message-level transport interface: the only way the session layer
// reaches an instrument. USBTMC over libusb and USBTMC over the simulator's
// local bus both implement it; transport_openers.h is how they are found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "deadline.h"
#include "usb_resource_name.h"
#include "visa.h"

namespace sgvisa {

class Transport {
  public:
    virtual ~Transport() = default;

    // Sends `data` as (part of) one device-dependent message. `end` marks its
    // last byte with END (USBTMC EOM): the message is complete.
    virtual ViStatus write(std::span<const std::uint8_t> data, bool end, Deadline deadline) = 0;

    // Reads at most buf.size() bytes of the current reply into `buf`.
    // `count` is the number stored; `end` is true when the last byte stored
    // carried END. When the reply is longer than `buf`, the rest stays with
    // the instrument for the next read. On a timeout the transport has already
    // recovered (aborted the transfer) so that the next command works, and
    // returns VI_ERROR_TMO. Never stores more than buf.size() bytes.
    virtual ViStatus read(std::span<std::uint8_t> buf, Deadline deadline, std::size_t& count,
                          bool& end) = 0;

    // Device clear (viClear): discards the instrument's pending input and output.
    virtual ViStatus clear(Deadline deadline) = 0;
};

}  // namespace sgvisa
