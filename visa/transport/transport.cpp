#include "transport/transport.h"

namespace sgvisa {

ViStatus Transport::read(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                         ReadResult& result) {
    result = ReadResult{};
    if (!unread_.empty() && !buf.empty()) {
        if (lost())
            return VI_ERROR_CONN_LOST;
        result = unread_.take(buf, stop);
        return VI_SUCCESS;
    }
    const std::size_t size = receive_size(buf.size());
    if (size <= buf.size()) {
        const ViStatus st = receive(buf, stop, deadline, result);
        if (st >= 0)
            stop_at_term_char(buf, stop, result, unread_);
        return st;
    }
    // A whole transfer, of which the read takes what it wants.
    ReadResult came;
    const ViStatus st = receive(unread_.room(size), stop, deadline, came);
    unread_.keep(came.count, came.end);
    result = unread_.take(buf, stop);
    if (st != VI_SUCCESS)
        unread_.drop();  // the message ends with the failure
    return st;
}

}  // namespace sgvisa
