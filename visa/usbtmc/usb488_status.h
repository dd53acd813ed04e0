// USB488's status byte as a host reads it: the bTags of READ_STATUS_BYTE
// requests, the control answer, and the interrupt-IN notifications that
// carry a requested status byte or a service request. The parsers are pure
// functions of the bytes, so that any bytes a device sends can be checked
// against them.
//
// READ_STATUS_BYTE (bTag 2..127) answers USBTMC_status, bTag and a status
// byte; when the interface has an interrupt-IN endpoint that byte is 0 and
// the status byte comes as a notification: bNotify1 = 0x80 | bTag, bNotify2 =
// status byte. A service request comes as bNotify1 = 0x81, bNotify2 = status
// byte. USB488 1.0, 4.3.1, Tables 11 to 13; notifications 3.4.1, Table 6 and
// 3.4.2, Table 7.
//
// Every host that reads the interrupt endpoint may get an answer meant for
// another: on the local bus each connection waiting there sees every packet,
// and on USB a request given up on leaves its answer in the endpoint for the
// next reader. A host that took such an answer for its own would report an
// old status byte. So the request tags come from one sequence for the whole
// process, not one per connection that starts at 2 each time, and it starts
// at a place of 2..127 drawn anew (again in a fork child): an answer left
// over from another process, or from an earlier connection of this one,
// seldom carries the tag a request waits for. (The host should increase the
// bTag by one per request, USB488 1.0, 4.3.1, Table 11; where the sequence
// starts is this host's choice.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sgvisa::usbtmc {

// READ_STATUS_BYTE's bTags and answer length (USB488 1.0, 4.3.1, Table 11);
// a service request's bNotify1 (3.4.1, Table 6).
constexpr std::uint8_t kFirstStatusTag = 2;
constexpr std::uint8_t kLastStatusTag = 127;
constexpr std::uint8_t kServiceRequest = 0x81;
constexpr std::size_t kReadStatusByteLength = 3;

// The next tag of the process's READ_STATUS_BYTE sequence. Thread-safe and
// safe in a fork child.
std::uint8_t take_status_tag();

// The bTag after `tag` for READ_STATUS_BYTE (2..127, then 2 again: USB488
// 1.0, 4.3.1, Table 11).
std::uint8_t next_status_tag(std::uint8_t tag);

struct StatusAnswer {
    bool valid = false;  // successful, and for the request tagged so
    std::uint8_t status_byte = 0;
};

// A READ_STATUS_BYTE control answer of `got` bytes for the request `tag`
// (USB488 1.0, 4.3.1.1, Table 12 and 4.3.1.2, Table 13).
StatusAnswer parse_status_answer(std::span<const std::uint8_t> answer, std::uint8_t tag);

struct Notification {
    enum class Kind { status_byte, service_request, unknown } kind = Kind::unknown;
    std::uint8_t tag = 0;  // status_byte: the request's bTag
    std::uint8_t status_byte = 0;
};

// One interrupt-IN packet; anything but the two USB488 notifications
// (short, or an unknown bNotify1) is `unknown` and to be dropped (USB488
// 1.0, 3.4.1 and 3.4.2, Tables 6 and 7; bNotify1 D7 clear is a vendor's or
// reserved: USBTMC 1.0, 3.4, Table 13).
Notification parse_notification(std::span<const std::uint8_t> packet);

}  // namespace sgvisa::usbtmc

namespace sgvisa::usbtmc {

// Where a host's bTag sequences start (the bulk ones and the status byte's
// above): a number that differs between processes, between the calls of one
// process and between runs, so that what another host, or an earlier run,
// left in a device seldom carries the tag this host waits for (USBTMC 1.0,
// Table 1 and USB488 1.0, Table 11 say how bTags advance, not where they
// start). Not for secrets.
std::uint64_t tag_seed();

// From now on tag_seed() draws from `seed` and the number of draws since
// this call alone, and the READ_STATUS_BYTE sequence starts again from its
// next draw: a fuzz target or a test calls it before each input so that a
// host's bTags, and so whatever depends on them, repeat exactly from run to
// run. Not for use while a host runs on another thread.
void replay_tag_seeds(std::uint64_t seed);

}  // namespace sgvisa::usbtmc
