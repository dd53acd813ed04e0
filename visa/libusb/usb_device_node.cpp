#include "libusb/usb_device_node.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "trace/trace_reason.h"
#include "transport/process_descriptors.h"

namespace sgvisa::libusb {
namespace {

// Who may open the node, and what gives this user the right.
std::string permission_reason(const std::string& path) {
    struct stat st {};
    char facts[96] = "";
    if (::stat(path.c_str(), &st) == 0)
        std::snprintf(facts, sizeof facts,
                      " (owner uid %u, group gid %u, mode %03o; this is uid %u)",
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
                      static_cast<unsigned>(st.st_mode & 0777), static_cast<unsigned>(::geteuid()));
    return "no permission to open " + path + facts +
           ": install the udev rule 70-sgvisa-usbtmc.rules (in /usr/lib/udev/rules.d or "
           "/etc/udev/rules.d), run 'sudo udevadm control --reload && sudo udevadm trigger' "
           "and plug the instrument in again";
}

}  // namespace

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
            trace::note_reason([&] { return permission_reason(path); });
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

NodeCloseWatch::NodeCloseWatch(const std::string& path) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

NodeCloseWatch::~NodeCloseWatch() {
    if (fd_ >= 0)
        ::close(fd_);
}

NodeCloseWatch::Wake NodeCloseWatch::wait(Deadline deadline, int cancel_fd) {
    for (;;) {
        const int ms = ms_until(deadline);
        if (ms <= 0)
            return Wake::deadline;
        // A negative descriptor is ignored by poll().
        std::array<pollfd, 2> fds{{{cancel_fd, POLLIN, 0}, {fd_, POLLIN, 0}}};
        const int n = ::poll(fds.data(), fds.size(), ms);
        if (n < 0 && errno != EINTR)
            return Wake::deadline;
        if (n <= 0)
            continue;
        if (fds[0].revents != 0)
            return Wake::cancelled;
        if (fds[1].revents != 0) {
            std::array<char, 4096> events;
            while (::read(fd_, events.data(), events.size()) > 0) {
            }
            return Wake::closed;
        }
    }
}

}  // namespace sgvisa::libusb
