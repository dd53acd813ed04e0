// The message-level transport interface: the only way the VISA front end
// reaches an instrument. USBTMC over libusb and USBTMC over the simulator's
// local bus both implement it; tests plug in in-memory instruments.
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

// Opens the instrument that `name` designates. Returns VI_ERROR_RSRC_NFOUND
// when this backend does not know it; any other status ends the search.
// `deadline` bounds waiting for another process that holds the device.
using TransportOpener =
    std::function<ViStatus(const UsbResourceName& name, Deadline deadline,
                           std::unique_ptr<Transport>& out)>;

// Tries the built-in backends (the simulator's local bus, then USB), then
// every opener added with add_transport_opener, in that order.
ViStatus open_transport(const UsbResourceName& name, Deadline deadline,
                        std::unique_ptr<Transport>& out);

// For tests: adds an opener tried after the built-in ones. Returns an id for
// remove_transport_opener.
int add_transport_opener(TransportOpener opener);
void remove_transport_opener(int id);

// The built-in backends; each returns VI_ERROR_RSRC_NFOUND when it finds nothing.
ViStatus open_localbus_transport(const UsbResourceName& name, Deadline deadline,
                                 std::unique_ptr<Transport>& out);
ViStatus open_libusb_transport(const UsbResourceName& name, Deadline deadline,
                               std::unique_ptr<Transport>& out);

}  // namespace sgvisa
