// Record marking, how ONC RPC delimits its messages on a TCP stream
// (RFC 5531, 11): a record is one or more fragments, each a 4-byte
// big-endian header and that many bytes. Bit 31 of the header marks the
// record's last fragment; bits 0-30 are the fragment's length.
//
// Our side sends every record as one fragment, header and message in one
// buffer, so that it goes out in one write (begin_record/end_record). The
// other side may split its records anywhere: RecordReader reassembles them
// from whatever pieces the stream delivers, up to a maximum record size the
// caller gives. A fragment that would take the record past that maximum is
// refused from its header, before any of its bytes are kept, so a giant
// length costs nothing; the buffer grows by bytes that arrived, or by the
// room a caller asks for to receive into (fragment_room), which it bounds.
//
// RecordReader is a plain value: one per connection, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "proto/xdr.h"

namespace sgproto::oncrpc {

constexpr std::size_t kFragmentHeaderSize = 4;
constexpr std::uint32_t kLastFragment = 0x80000000u;
constexpr std::uint32_t kMaxFragmentLength = 0x7FFFFFFFu;

struct FragmentHeader {
    bool last = true;
    std::uint32_t length = 0;  // at most kMaxFragmentLength
};

std::uint32_t encode_fragment_header(const FragmentHeader& h);
FragmentHeader decode_fragment_header(std::uint32_t word);

// Starts a record in `out`: appends room for the fragment header and
// returns where the record starts. Encode the message after it, then call
// end_record with that offset, which fills the header in as the record's
// only (last) fragment. end_record is false when the message is longer than
// a fragment may be.
std::size_t begin_record(Bytes& out);
bool end_record(Bytes& out, std::size_t start);

class RecordReader {
  public:
    enum class Status {
        need_more,  // every byte given was taken; the record is not whole
        record,     // record() is whole; the bytes after it were not taken
        too_large,  // the record would pass the maximum; the stream is lost
    };

    explicit RecordReader(std::size_t max_record) : max_(max_record) {}

    // Takes bytes of `in` up to the end of the current record, at most, and
    // adds their count to `taken`. Once it returns `record` or `too_large`
    // it takes nothing more until next().
    Status feed(ByteView in, std::size_t& taken);
    // The whole record, valid after `record` until next().
    ByteView record() const { return {record_.data(), size_}; }
    // The record's bytes so far, whole or not: for a peer whose fragment
    // length says more than it sends (some instruments' device_intr_srq
    // is four bytes short), whose call may already decode in full.
    ByteView partial() const { return record(); }
    // Where the current fragment's next bytes go, at most `most` of them,
    // so that a caller may receive them there directly rather than feed a
    // copy: empty unless the reader is inside a fragment's bytes. Valid
    // until the next call; fill() takes the count written.
    std::span<std::uint8_t> fragment_room(std::size_t most);
    // Takes `n` bytes (at most the room's size) written into fragment_room().
    Status fill(std::size_t n);
    // Drops the record and starts on the next one.
    void next();
    // Bytes the reader wants before it can tell more: the rest of the
    // fragment header or of the fragment (0 after `record` or `too_large`).
    // A caller may read exactly that much and so take no byte past a record.
    std::size_t wanted() const;

  private:
    std::size_t max_;
    // Grows to the largest record read and stays so, so that the next
    // record of that size lands in memory already mapped; its first size_
    // bytes are the record.
    Bytes record_;
    std::size_t size_ = 0;
    std::uint8_t header_[kFragmentHeaderSize] = {};
    std::size_t header_got_ = 0;
    std::size_t fragment_left_ = 0;
    bool in_fragment_ = false;
    bool last_ = false;
    Status status_ = Status::need_more;
};

}  // namespace sgproto::oncrpc
