// The user's settings for secure LAN connections: the credentials that
// `cred@host` resource names name, and the certificate authorities to
// trust. One file, private to its user:
//
//   $XDG_CONFIG_HOME/sgvisa/credentials   (~/.config/sgvisa/credentials)
//
//   # lines starting with '#' are comments
//   ca-file = /etc/lab/instruments-ca.pem   (default: the system's store)
//
//   [bench-a]                  the id of TCPIP::bench-a@host::hislip0::INSTR
//   user = alice
//   password = the rest of the line, spaces inside kept
//
// Refused, with the reason, unless it is a regular file (not a symbolic
// link) owned by the user and neither readable nor writable by group or
// others (chmod 600): a password others can read is no secret, and one
// others can write lets them choose the CA we trust. Docs:
// docs/secure-connection.md.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace sgsecure {

struct Credential {
    std::string user;
    std::string password;
};

struct SecureSettings {
    std::string ca_file;  // empty: the system's store
    std::map<std::string, Credential, std::less<>> credentials;
};

// Where the file is: $XDG_CONFIG_HOME/sgvisa/credentials when that is an
// absolute path, else $HOME/.config/sgvisa/credentials; empty when
// neither is absolute (then there is no file).
std::string credentials_path();

// Whether `id` can name credentials: a letter, then letters, digits and '-'.
bool is_credential_id(std::string_view id);

enum class Load { loaded, missing, refused };

// Reads the file at `path` into `out`. `missing` when there is none (then
// a secure connection as the anonymous user still works with the system's
// CAs); `refused` with `why` when it is not private or not well formed.
Load load_secure_settings(const std::string& path, SecureSettings& out, std::string& why);

}  // namespace sgsecure
