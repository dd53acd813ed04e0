// Where the simulator's local bus and the instrument lock files live: one
// directory private to the user, $XDG_RUNTIME_DIR/sgvisa/ or else
// /tmp/sgvisa-<uid>/ (mode 0700). Hosts ignore a directory or socket that is
// not owned by the user or is open to group or others.
#pragma once

#include <cstdint>
#include <string>

namespace sgproto {

// The bus directory for this user. Does not create it.
std::string bus_directory();

// Creates the bus directory (0700) if missing. Returns false, with a message
// in `error`, when it cannot be created or is not safe to use.
bool ensure_bus_directory(std::string& error);

// True when `dir` is a directory owned by this user with no group or other
// permissions.
bool bus_directory_is_private(const std::string& dir);

// The socket path of a device, e.g. <dir>/4d19-0040-SIM001.sock. Characters
// of the serial number that are not [A-Za-z0-9._-] are written as %HH.
std::string device_socket_path(const std::string& dir, std::uint16_t vendor_id,
                               std::uint16_t product_id, const std::string& serial);

// The IDs and serial number a device socket's file name (as made by
// device_socket_path, without the directory) stands for; false for a name
// that is not one.
bool parse_device_socket_name(const std::string& file_name, std::uint16_t& vendor_id,
                              std::uint16_t& product_id, std::string& serial);

}  // namespace sgproto
