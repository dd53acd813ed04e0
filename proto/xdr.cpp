#include "proto/xdr.h"

namespace sgproto::oncrpc {

void XdrWriter::u32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    out_.insert(out_.end(), b, b + 4);
}

void XdrWriter::opaque(ByteView data) {
    u32(static_cast<std::uint32_t>(data.size()));
    out_.insert(out_.end(), data.begin(), data.end());
    out_.resize(out_.size() + (kXdrUnit - data.size() % kXdrUnit) % kXdrUnit, 0);
}

void XdrWriter::string(std::string_view s) {
    opaque(ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

bool XdrReader::u32(std::uint32_t& v) {
    if (!ok_ || remaining() < kXdrUnit)
        return fail();
    const std::uint8_t* p = in_.data() + pos_;
    v = static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
        static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    pos_ += kXdrUnit;
    return true;
}

bool XdrReader::i32(std::int32_t& v) {
    std::uint32_t u = 0;
    if (!u32(u))
        return false;
    v = static_cast<std::int32_t>(u);
    return true;
}

bool XdrReader::boolean(bool& v) {
    std::uint32_t u = 0;
    if (!u32(u))
        return false;
    if (u > 1)
        return fail();
    v = u == 1;
    return true;
}

bool XdrReader::opaque(ByteView& v, std::size_t max) {
    std::uint32_t n = 0;
    if (!u32(n))
        return false;
    // The length is compared with what is there before anything uses it.
    if (n > max || n > remaining())
        return fail();
    const std::size_t padded = n + (kXdrUnit - n % kXdrUnit) % kXdrUnit;
    if (padded > remaining())
        return fail();
    const ByteView all = in_.subspan(pos_, padded);
    for (std::size_t i = n; i < padded; ++i) {
        // RFC 4506, 4.10: the residual bytes are zero. A peer that sends
        // others does not speak XDR, and re-encoding must give its bytes.
        if (all[i] != 0)
            return fail();
    }
    v = all.first(n);
    pos_ += padded;
    return true;
}

bool XdrReader::string(std::string& s, std::size_t max) {
    ByteView v;
    if (!opaque(v, max))
        return false;
    s.assign(v.begin(), v.end());
    return true;
}

}  // namespace sgproto::oncrpc
