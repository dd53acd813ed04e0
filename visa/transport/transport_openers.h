// The seam between the session layer and the links: every way of reaching an
// instrument registers an opener here, and the session layer opens a resource
// through open_transport() without naming any of them.
#pragma once

#include <functional>
#include <memory>

#include "deadline.h"
#include "transport.h"
#include "usb_resource_name.h"
#include "visa.h"

namespace sgvisa {

// Opens the instrument that `name` designates. Returns VI_ERROR_RSRC_NFOUND
// when this opener does not know it; any other status ends the search.
// `deadline` bounds waiting for another process that holds the device.
using TransportOpener = std::function<ViStatus(const UsbResourceName& name, Deadline deadline,
                                               std::unique_ptr<Transport>& out)>;

// Adds `opener` after those registered before it. Returns an id for
// unregister_transport_opener. Thread-safe.
int register_transport_opener(TransportOpener opener);
void unregister_transport_opener(int id);

// Tries every registered opener in the order of registration until one
// returns something other than VI_ERROR_RSRC_NFOUND.
ViStatus open_transport(const UsbResourceName& name, Deadline deadline,
                        std::unique_ptr<Transport>& out);

}  // namespace sgvisa
