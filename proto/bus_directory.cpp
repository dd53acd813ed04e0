#include "proto/bus_directory.h"

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

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_hex16(const std::string& text, std::uint16_t& out) {
    if (text.size() != 4)
        return false;
    unsigned v = 0;
    for (char c : text) {
        const int d = hex_digit(c);
        if (d < 0)
            return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace

bool parse_device_socket_name(const std::string& file_name, std::uint16_t& vendor_id,
                              std::uint16_t& product_id, std::string& serial) {
    constexpr std::size_t kIds = 10;  // "vvvv-pppp-"
    if (file_name.size() <= kIds + 5 || !file_name.ends_with(".sock") || file_name[4] != '-' ||
        file_name[9] != '-')
        return false;
    if (!parse_hex16(file_name.substr(0, 4), vendor_id) ||
        !parse_hex16(file_name.substr(5, 4), product_id))
        return false;
    const std::string escaped = file_name.substr(kIds, file_name.size() - kIds - 5);
    serial.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '%') {
            serial += escaped[i];
            continue;
        }
        if (i + 2 >= escaped.size() || hex_digit(escaped[i + 1]) < 0 ||
            hex_digit(escaped[i + 2]) < 0)
            return false;
        serial += static_cast<char>(hex_digit(escaped[i + 1]) * 16 + hex_digit(escaped[i + 2]));
        i += 2;
    }
    return !serial.empty();
}

}  // namespace sgproto
