// One Transport::read with no termination character, the way most tests
// read: count and END out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/transport.h"

namespace sgtest {

inline ViStatus read_from(sgvisa::Transport& t, std::span<std::uint8_t> buf,
                          sgvisa::Deadline deadline, std::size_t& count, bool& end) {
    sgvisa::ReadResult r;
    const ViStatus st = t.read(buf, sgvisa::ReadStop{}, deadline, r);
    count = r.count;
    end = r.end;
    return st;
}

}  // namespace sgtest
