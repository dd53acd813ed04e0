#include "message_end.h"

namespace sgvisa::usbtmc {

MessageEnd::Verdict MessageEnd::judge(const ReplyReceived& transfer, std::uint32_t requested,
                                      std::uint8_t last, const ReadStop& stop) {
    if (transfer.end) {
        eom_seen_ = true;
        learned_ = false;  // it does set EOM after all
        return Verdict::end;
    }
    const bool at_linefeed = transfer.count > 0 && last == '\n';
    if (transfer.term_char || !at_linefeed || transfer.transfer_size >= requested)
        return Verdict::more;
    if (eom_never())
        return Verdict::end;
    // A device that has set EOM before splits this reply; and a read that
    // stops at a linefeed ends here whatever the device meant.
    if (eom_seen_ || (stop.term_char_enabled && stop.term_char == '\n'))
        return Verdict::more;
    return Verdict::ask;
}

}  // namespace sgvisa::usbtmc
