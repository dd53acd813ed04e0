// Fuzz target: what a HiSLIP peer may send, on any bytes. Input: byte 0
// picks the largest payload kept (1 << (b & 15) bytes), byte 1 the size of
// the pieces the stream arrives in (1 + b), byte 2 whether a too-large
// payload is skipped (odd) or ends the stream; the rest is the stream.
// Never a read past the input or a payload past the maximum; every message
// given re-encodes to the bytes it came from, and its typed fields decode.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "proto/hislip.h"

namespace {

namespace hs = sgproto::hislip;

void check(bool ok) {
    if (!ok)
        std::abort();
}

void look_at(const hs::Header& h, hs::ByteView payload, hs::ByteView raw) {
    check(h.length == payload.size());
    check(payload.size() <= raw.size());
    const hs::Bytes again = hs::message(h.message_type(), h.control, h.parameter, payload);
    check(again.size() == hs::kHeaderSize + payload.size());
    check(std::equal(again.begin() + hs::kHeaderSize, again.end(), payload.begin()));
    check(!hs::type_name(h.type).empty());
    check(!hs::error_text(h.control).empty() && !hs::fatal_error_text(h.control).empty());
    const auto init = hs::decode_initialize(h.parameter);
    check(hs::encode_initialize(init) == h.parameter);
    const auto resp = hs::decode_initialize_response(h.control, h.parameter);
    check(hs::initialize_response_parameter(resp) == h.parameter);
    std::uint64_t size = 0;
    if (hs::decode_u64(payload, size))
        check(hs::encode_u64(size)[7] == payload[7]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const std::size_t max_payload = std::size_t{1} << (data[0] & 15);
    const std::size_t piece = 1 + data[1];
    const bool skip = (data[2] & 1) != 0;
    const hs::ByteView stream(data + 3, size - 3);

    hs::MessageReader reader(max_payload);
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t n = std::min(piece, stream.size() - pos);
        std::size_t taken = 0;
        const auto st = reader.feed(stream.subspan(pos, n), taken);
        check(taken <= n);
        pos += taken;
        switch (st) {
            case hs::MessageReader::Status::need_more:
                check(taken == n);
                break;
            case hs::MessageReader::Status::message:
                check(reader.payload().size() <= max_payload);
                look_at(reader.header(), reader.payload(), stream);
                reader.next();
                break;
            case hs::MessageReader::Status::too_large:
                check(reader.header().length > max_payload);
                if (!skip)
                    return 0;
                reader.skip_payload();
                break;
            case hs::MessageReader::Status::bad_header:
                return 0;
        }
    }
    return 0;
}
