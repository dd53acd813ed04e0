// What each VXI-11 error code means to a VISA program: the one table that
// turns a Device_ErrorCode into a status, for the operations on a link and
// for create_link, where the same codes say the device cannot be opened.
#pragma once

#include <cstdint>

#include "visa.h"

namespace sgvisa::lan {

// The status of an operation whose reply carried `error`, and the words for
// the trace's reason (the protocol's text and what to do).
ViStatus vxi11_status(std::int32_t error);
// The status of an open whose create_link carried `error`.
ViStatus vxi11_open_status(std::int32_t error);

}  // namespace sgvisa::lan
