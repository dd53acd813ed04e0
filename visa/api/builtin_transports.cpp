#include "builtin_transports.h"

#include <mutex>

#include "libusb_opener.h"
#include "localbus_opener.h"
#include "transport_openers.h"

namespace sgvisa {

void register_builtin_transports() {
    static std::once_flag once;
    std::call_once(once, [] {
        register_transport_opener(open_localbus_transport);
        register_transport_opener(open_libusb_transport);
    });
}

}  // namespace sgvisa
