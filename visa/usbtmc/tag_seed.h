// Where a host's bTag sequences start: a number that differs between
// processes, between the calls of one process and between runs, so that
// what another host, or an earlier run, left in a device seldom carries the
// tag this host waits for. Not for secrets.
#pragma once

#include <cstdint>

namespace sgvisa::usbtmc {

std::uint64_t tag_seed();

}  // namespace sgvisa::usbtmc
