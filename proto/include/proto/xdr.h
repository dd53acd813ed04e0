// XDR, the external data representation of ONC RPC (RFC 4506), as far as
// the RPC headers, the portmapper and VXI-11 use it: unsigned and signed
// 32-bit integers, booleans and enums (each one 4-byte unit), and
// variable-length opaque data and strings (a 4-byte length, the bytes, then
// zero bytes up to a multiple of four). Every unit is big-endian.
//
// XdrWriter appends to a byte vector; XdrReader walks a span and never reads
// past it. A reader's failure is sticky: after the first item that does not
// decode (too few bytes, a length over the caller's maximum or over what is
// left, padding that is not zero, a boolean that is neither 0 nor 1) every
// later read fails too, so a decoder may read all its fields and test once.
// A length from the wire never sizes a buffer before it is checked against
// the bytes actually there: a decoded opaque is a view into the input.
//
// Both types are plain values with no shared state: use one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sgproto::oncrpc {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The XDR unit: every item is padded to a multiple of it (RFC 4506, 3).
constexpr std::size_t kXdrUnit = 4;

// Bytes an opaque or string of `n` bytes takes on the wire, length included.
constexpr std::size_t xdr_opaque_size(std::size_t n) {
    return kXdrUnit + (n + kXdrUnit - 1) / kXdrUnit * kXdrUnit;
}

class XdrWriter {
  public:
    // Appends to `out`, which must outlive the writer.
    explicit XdrWriter(Bytes& out) : out_(out) {}

    void u32(std::uint32_t v);
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void boolean(bool v) { u32(v ? 1 : 0); }
    // Variable-length opaque<> and string<>: length, bytes, zero padding.
    void opaque(ByteView data);
    void string(std::string_view s);

    Bytes& bytes() { return out_; }

  private:
    Bytes& out_;
};

class XdrReader {
  public:
    explicit XdrReader(ByteView in) : in_(in) {}

    bool u32(std::uint32_t& v);
    bool i32(std::int32_t& v);
    // Only 0 and 1 are booleans (RFC 4506, 4.4).
    bool boolean(bool& v);
    // A variable-length opaque of at most `max` bytes, viewed in the input.
    bool opaque(ByteView& v, std::size_t max);
    bool string(std::string& s, std::size_t max);

    // True while every read so far decoded.
    bool ok() const { return ok_; }
    // True when every read decoded and every byte was taken.
    bool done() const { return ok_ && pos_ == in_.size(); }
    std::size_t remaining() const { return in_.size() - pos_; }
    // The bytes not read yet (the arguments or results after a header).
    ByteView rest() const { return in_.subspan(pos_); }

  private:
    bool fail() {
        ok_ = false;
        return false;
    }

    ByteView in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// One value to bytes, and bytes to one value, for every type with the
// overloads encode(XdrWriter&, const T&) and decode(XdrReader&, T&) (found by
// argument-dependent lookup). from_bytes refuses bytes left after the value;
// views in `v` point into `in`.
template <class T>
Bytes to_bytes(const T& v) {
    Bytes out;
    XdrWriter w(out);
    encode(w, v);
    return out;
}

template <class T>
bool from_bytes(ByteView in, T& v) {
    XdrReader r(in);
    return decode(r, v) && r.done();
}

}  // namespace sgproto::oncrpc
