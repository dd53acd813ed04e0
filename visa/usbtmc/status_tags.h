// The bTags of this process's READ_STATUS_BYTE requests. USB488 answers such
// a request with an interrupt-IN notification that carries nothing but the
// bTag and the status byte, and every host that reads the interrupt
// endpoint may get an answer meant for another: on the local bus each
// connection waiting there sees every packet, and on USB a request given up
// on leaves its answer in the endpoint for the next reader. A host that took
// such an answer for its own would report an old status byte. So the tags
// come from one sequence for the whole process, not one per connection that
// starts at 2 each time, and it starts at a place of 2..127 drawn anew (again in
// a fork child): an answer left over from another process, or from an
// earlier connection of this one, seldom carries the tag a request waits for.
#pragma once

#include <cstdint>

namespace sgvisa::usb488 {

// The next tag of the sequence. Thread-safe and safe in a fork child.
std::uint8_t take_status_tag();

}  // namespace sgvisa::usb488
