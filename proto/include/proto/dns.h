// DNS messages (RFC 1035, 4.1) as multicast DNS and DNS-SD use them
// (RFC 6762, RFC 6763): a header, questions, and answer, authority and
// additional records, of which PTR, SRV, TXT and A are decoded and the rest
// kept as bytes. The library browses for LAN instruments with them and the
// simulator answers such browses.
//
// Names are text: labels joined by '.', a '.' or '\' inside a label written
// "\." or "\\" (DNS-SD instance names may hold dots), no final dot. They
// compare without regard to ASCII case (same_name).
//
// encode() writes names whole (no compression); decode() follows
// compression pointers, each to an earlier offset than the label it stands
// for, so a name's walk always ends; a name longer than 255 bytes, a label
// over 63, a pointer out of the message, a record or question that runs
// past the end, or a known type's data that does not fill its length
// exactly fails the decode. Every length from the wire is checked against
// the bytes there before anything is read. Pure functions; no state.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sgproto::dns {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

constexpr std::uint16_t kMdnsPort = 5353;
constexpr std::uint32_t kMdnsGroup = 0xE00000FB;  // 224.0.0.251, host order
constexpr std::size_t kMaxName = 255;             // on the wire, length bytes included
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kHeaderSize = 12;

enum Type : std::uint16_t { A = 1, PTR = 12, TXT = 16, AAAA = 28, SRV = 33, ANY = 255 };
constexpr std::uint16_t kClassIn = 1;

// Header flags.
constexpr std::uint16_t kResponse = 0x8000;
constexpr std::uint16_t kAuthoritative = 0x0400;

struct Question {
    std::string name;
    std::uint16_t type = PTR;
    std::uint16_t klass = kClassIn;
    // mDNS's QU bit, the class's top bit: the asker takes a unicast answer.
    bool unicast_response = false;
};

struct Record {
    std::string name;
    std::uint16_t type = A;
    std::uint16_t klass = kClassIn;
    // mDNS's cache-flush bit, the class's top bit: this set of records is
    // the whole of it.
    bool cache_flush = false;
    std::uint32_t ttl = 0;
    // The data, by type: PTR and SRV's target; SRV's numbers; A's address
    // (network order); TXT's strings; the bytes of any other type.
    std::string target;
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    std::array<std::uint8_t, 4> address{};
    std::vector<std::string> text;
    Bytes data;
};

struct Message {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::vector<Question> questions;
    std::vector<Record> answers;
    std::vector<Record> authorities;
    std::vector<Record> additionals;
};

// False when a name is not one (an empty label, one over 63 bytes, over 255
// in all), a TXT string is over 255 bytes, other data over 65535, or a
// section has more than 65535 entries; `out` is then unspecified.
bool encode(const Message& m, Bytes& out);
bool decode(ByteView in, Message& out);

bool same_name(std::string_view a, std::string_view b);

// One label as a name spells it ("a.b" -> "a\.b"), to build a name from an
// instance's free text; and a name's first label back as text.
std::string escape_label(std::string_view label);
std::string first_label(std::string_view name);

}  // namespace sgproto::dns
