#include "bus_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sgproto {

std::string bus_directory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/sgvisa";
    return "/tmp/sgvisa-" + std::to_string(geteuid());
}

bool bus_directory_is_private(const std::string& dir) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool ensure_bus_directory(std::string& error) {
    const std::string dir = bus_directory();
    if (mkdir(dir.c_str(), 0700) == 0) {
        // The umask may have taken bits the owner needs.
        if (chmod(dir.c_str(), 0700) != 0) {
            error = "cannot set the mode of " + dir + ": " + std::strerror(errno);
            return false;
        }
    } else if (errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!bus_directory_is_private(dir)) {
        error = dir + " is not a directory owned by this user and closed to others";
        return false;
    }
    return true;
}

std::string device_socket_path(const std::string& dir, std::uint16_t vendor_id,
                               std::uint16_t product_id, const std::string& serial) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x-%04x-", vendor_id, product_id);
    std::string path = dir + "/" + ids;
    for (char c : serial) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (plain) {
            path += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", u);
            path += escaped;
        }
    }
    return path + ".sock";
}

}  // namespace sgproto
