// This process's connections to instruments: sessions to one instrument share
// one connection (one transport, one USB claim). A connection whose
// instrument went away is replaced by the next open. Thread-safe.
#pragma once

#include <memory>

#include "deadline.h"
#include "device_connection.h"
#include "usb_resource_name.h"

namespace sgvisa {

// The connection to the instrument `name` designates, opened if this process
// has none: the instrument is opened under its access lock, waiting for
// other processes until `deadline` (VI_ERROR_RSRC_LOCKED); the instrument's
// own first requests get at least `setup` more. Other failures are the
// transport's (VI_ERROR_RSRC_NFOUND, VI_ERROR_NPERMISSION...).
ViStatus connect_device(const UsbResourceName& name, Deadline deadline, Deadline setup,
                        std::shared_ptr<DeviceConnection>& out);

}  // namespace sgvisa
