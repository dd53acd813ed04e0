// This process's connections to instruments: sessions to one instrument share
// one connection (one transport, one USB claim). A connection whose
// instrument went away is replaced by the next open; a fork child opens its
// own. Thread-safe.
#pragma once

#include <memory>

#include "session/device_connection.h"
#include "transport/deadline.h"
#include "transport/resource_name.h"

namespace sgvisa::session {

// The connection to the instrument `name` designates, opened if this process
// has none. Opening sends nothing to the instrument and waits for no other
// process (the first operation takes the access lock and the claim); only
// reaching the device (a simulator's greeting) is bounded by `deadline`.
// Failures are the transport's (VI_ERROR_RSRC_NFOUND, VI_ERROR_NPERMISSION...)
// or the lock file's.
ViStatus connect_device(const ResourceName& name, Deadline deadline,
                        std::shared_ptr<DeviceConnection>& out);

}  // namespace sgvisa::session
