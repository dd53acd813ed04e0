#include "usb_device_node.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "process_descriptors.h"

namespace sgvisa {

std::string usb_device_node_path(const std::string& root, unsigned bus, unsigned address) {
    char tail[16];
    std::snprintf(tail, sizeof tail, "/%03u/%03u", bus % 1000, address % 1000);
    return root + tail;
}

ViStatus open_usb_device_node(const std::string& path, int& fd) {
    int error = 0;
    fd = open_process_descriptor([&] {
        const int opened = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        error = errno;
        return opened;
    });
    if (fd >= 0)
        return VI_SUCCESS;
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return VI_ERROR_NPERMISSION;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return VI_ERROR_RSRC_NFOUND;
        case ENOMEM:
            return VI_ERROR_ALLOC;
        default:
            return VI_ERROR_SYSTEM_ERROR;
    }
}

}  // namespace sgvisa
