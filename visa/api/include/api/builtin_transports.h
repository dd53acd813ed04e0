// The library's own ways of reaching an instrument, in the order they are
// tried: the simulator's local bus, then USB through libusb.
#pragma once

namespace sgvisa::api {

// Registers the built-in openers once per process; later calls do nothing.
void register_builtin_transports();

}  // namespace sgvisa::api
