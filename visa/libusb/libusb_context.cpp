#include "libusb_context.h"

#include <libusb.h>

#include <mutex>

namespace sgvisa {

libusb_context* shared_libusb_context() {
    static std::mutex mutex;
    static libusb_context* context = nullptr;
    std::lock_guard lock(mutex);
    if (!context) {
        libusb_context* fresh = nullptr;
        if (libusb_init(&fresh) == LIBUSB_SUCCESS)
            context = fresh;
    }
    return context;
}

ViStatus status_from_libusb(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return VI_SUCCESS;
        case LIBUSB_ERROR_NO_DEVICE:
            return VI_ERROR_CONN_LOST;
        case LIBUSB_ERROR_TIMEOUT:
            return VI_ERROR_TMO;
        case LIBUSB_ERROR_ACCESS:
            return VI_ERROR_NPERMISSION;
        case LIBUSB_ERROR_BUSY:
            return VI_ERROR_RSRC_BUSY;
        case LIBUSB_ERROR_NO_MEM:
            return VI_ERROR_ALLOC;
        default:
            return VI_ERROR_IO;
    }
}

}  // namespace sgvisa
