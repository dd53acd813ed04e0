// This process's connections to instruments: sessions to one USB instrument
// share one connection (one transport, one USB claim); each session to a LAN
// instrument has its own link, as the instrument serves several. A connection whose
// instrument went away is replaced by the next open; a fork child opens its
// own. Thread-safe.
#pragma once

#include <memory>

#include "session/device_connection.h"
#include "transport/deadline.h"
#include "transport/resource_name.h"

namespace sgvisa::session {

// The connection to the instrument `name` designates: for USB the process's
// one connection, opened if it has none; for a LAN instrument a link of the
// session's own, opened each time. Opening sends nothing to the instrument and waits for no other
// process (the first operation takes the access lock and the claim); only
// reaching the device (a simulator's greeting) is bounded by `deadline`.
// Failures are the transport's (VI_ERROR_RSRC_NFOUND, VI_ERROR_NPERMISSION...)
// or the lock file's.
ViStatus connect_device(const ResourceName& name, Deadline deadline,
                        std::shared_ptr<DeviceConnection>& out);

}  // namespace sgvisa::session
