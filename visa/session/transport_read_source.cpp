#include "transport_read_source.h"

#include <span>

namespace sgvisa {

TransportReadSource::TransportReadSource(Transport& transport, Deadline deadline,
                                         std::size_t chunk_size)
    : transport_(transport), deadline_(deadline), buffer_(chunk_size == 0 ? 1 : chunk_size) {}

ViStatus TransportReadSource::fill() {
    pos_ = 0;
    len_ = 0;
    chunk_end_ = false;
    while (true) {
        std::size_t count = 0;
        bool end = false;
        const ViStatus st = transport_.read(std::span(buffer_), deadline_, count, end);
        if (st < 0)
            return st;
        if (count > buffer_.size())
            return VI_ERROR_IO;  // a transport broke its contract
        len_ = count;
        chunk_end_ = end;
        if (count > 0)
            return VI_SUCCESS;
        if (end) {
            message_done_ = true;  // an empty message, or END after the last byte
            return VI_SUCCESS;
        }
        // Nothing and no END: read again while time is left.
        if (Clock::now() >= deadline_)
            return VI_ERROR_TMO;
    }
}

ViStatus TransportReadSource::peek(std::uint8_t& byte, bool& end_of_message) {
    end_of_message = false;
    if (!message_done_ && pos_ == len_) {
        const ViStatus st = fill();
        if (st < 0)
            return st;
    }
    if (message_done_) {
        end_of_message = true;
        return VI_SUCCESS;
    }
    byte = buffer_[pos_];
    return VI_SUCCESS;
}

void TransportReadSource::consume() {
    if (pos_ >= len_)
        return;
    ++pos_;
    if (pos_ == len_ && chunk_end_)
        message_done_ = true;
}

ViStatus TransportReadSource::discard_rest() {
    while (!message_done_) {
        if (pos_ < len_) {
            pos_ = len_;
            if (chunk_end_) {
                message_done_ = true;
                break;
            }
        }
        const ViStatus st = fill();
        if (st < 0)
            return st;
    }
    return VI_SUCCESS;
}

}  // namespace sgvisa
