#include "api/builtin_transports.h"

#include <mutex>

#include "libusb/libusb_opener.h"
#include "localbus/localbus_opener.h"
#include "transport/transport_openers.h"

namespace sgvisa {

void register_builtin_transports() {
    static std::once_flag once;
    std::call_once(once, [] {
        register_transport_backend({open_localbus_transport, list_localbus_resources});
        register_transport_backend({open_libusb_transport, list_libusb_resources});
    });
}

}  // namespace sgvisa
