#include "libusb_status.h"

namespace sgvisa {

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

ViStatus status_from_transfer(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return VI_SUCCESS;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return VI_ERROR_CONN_LOST;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return VI_ERROR_TMO;
        default:
            return VI_ERROR_IO;
    }
}

}  // namespace sgvisa
