// Where a device's message ends when its transfers do not say: USBTMC marks
// a message's last transfer with EOM (USBTMC 1.0, 3.3.1.1, Table 9, D0;
// USB488 1.0, 3.3 also asks a 488.2 device for a final linefeed), and some
// devices never set it. Such a device ends a reply at its linefeed, in a
// transfer that holds less than the request asked for. A device that splits
// its replies into short transfers (a message may take several: USBTMC 1.0,
// 3.3, rule 13) sends exactly that too, in the middle of a message, so the
// bytes alone cannot tell the two apart the first time. What tells is the
// next request (3.3, rule 9): a device that splits answers it at once with
// the rest; one that never sets EOM has nothing to send. The first time the
// host asks (InStream's owner does), and from then on the connection knows.
#pragma once

#include <cstdint>

#include "transport/transport.h"
#include "usbtmc_reply.h"

namespace sgvisa::usbtmc {

class MessageEnd {
  public:
    // `eom_never`: the device is known to never set EOM (a switch), so the
    // first reply need not be asked about.
    explicit MessageEnd(bool eom_never = false) : switched_(eom_never) {}

    enum class Verdict {
        end,   // the message ends with this transfer
        more,  // it goes on (or the caller's termination character ends the read)
        ask,   // unknown: the next request tells (then call learned())
    };

    // After a transfer of the answer to a request for `requested` bytes,
    // whose last data byte is `last` (any value when it carried none).
    Verdict judge(const ReplyReceived& transfer, std::uint32_t requested, std::uint8_t last,
                  const ReadStop& stop);

    // The asked request found nothing more: this device never sets EOM.
    void learned_eom_never() { learned_ = true; }

    bool eom_never() const { return switched_ || learned_; }

  private:
    bool switched_;
    bool learned_ = false;
    bool eom_seen_ = false;  // the device has set EOM on a transfer
};

}  // namespace sgvisa::usbtmc
