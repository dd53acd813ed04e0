#include "api/builtin_transports.h"

#include <mutex>

#include "libusb/libusb_opener.h"
#include "localbus/localbus_opener.h"
#include "transport/transport_openers.h"

namespace sgvisa::api {

void register_builtin_transports() {
    static std::once_flag once;
    std::call_once(once, [] {
        register_transport_backend(
            {localbus::open_localbus_transport, localbus::list_localbus_resources});
        register_transport_backend({libusb::open_libusb_transport, libusb::list_libusb_resources});
    });
}

}  // namespace sgvisa::api
