// The seam between the session layer and the links: every way of reaching an
// instrument registers a backend here (how to open a resource, how to list
// the resources present), and the session layer opens and finds instruments
// through it without naming any of them.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "transport/deadline.h"
#include "transport/resource_name.h"
#include "transport/transport.h"
#include "visa.h"

namespace sgvisa {

// Opens the instrument that `name` designates. Returns VI_ERROR_RSRC_NFOUND
// when this backend does not know it (a name of a kind it does not serve
// included); any other status ends the search. `deadline` bounds waiting
// for the instrument.
using TransportOpener = std::function<ViStatus(const ResourceName& name, Deadline deadline,
                                               std::unique_ptr<Transport>& out)>;

// An opener of USB names only, from one that takes them.
using UsbTransportOpener = std::function<ViStatus(const UsbResourceName& name, Deadline deadline,
                                                  std::unique_ptr<Transport>& out)>;
TransportOpener usb_opener(UsbTransportOpener open);

// Appends the USBTMC interfaces this backend sees now, with their interface
// numbers, also those the user may not open. Never waits past `deadline`.
using ResourceLister = std::function<void(Deadline deadline, std::vector<UsbResourceName>& out)>;

// Appends the instruments that answer a search on the networks now (LAN
// discovery). It sends, and waits for answers until `deadline` or a bound of
// its own: a search asks it only when its pattern can match a TCPIP name.
using NetworkLister = std::function<void(Deadline deadline, std::vector<ResourceName>& out)>;

struct TransportBackend {
    TransportOpener open;
    ResourceLister list;          // may be empty: the backend lists nothing
    NetworkLister discover = {};  // may be empty
};

// Adds `backend` after those registered before it. Returns an id for
// unregister_transport_backend. Thread-safe.
int register_transport_backend(TransportBackend backend);
void unregister_transport_backend(int id);

// Tries every registered backend in the order of registration until one
// returns something other than VI_ERROR_RSRC_NFOUND.
ViStatus open_transport(const ResourceName& name, Deadline deadline,
                        std::unique_ptr<Transport>& out);

// Every backend's resources, in the order of registration, each once.
std::vector<UsbResourceName> list_transport_resources(Deadline deadline);

// The same, then, with `on_networks`, what every backend's discovery finds,
// each once: what a search lists.
std::vector<ResourceName> find_transport_resources(Deadline deadline, bool on_networks);

}  // namespace sgvisa
