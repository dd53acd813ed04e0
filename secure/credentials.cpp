#include "secure/credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sgsecure {

namespace {

constexpr std::size_t kMaxFileSize = 64 * 1024;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Reads the whole file, if it is private to us.
Load read_private(const std::string& path, std::string& text, std::string& why) {
    // O_NOFOLLOW: a link could be swapped for another file after a check;
    // O_NONBLOCK: a FIFO put there must not stop the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return Load::missing;
        why = path + (errno == ELOOP ? std::string(": is a symbolic link")
                                     : std::string(": ") + std::strerror(errno));
        return Load::refused;
    }
    struct stat st {};
    Load result = Load::refused;
    if (fstat(fd, &st) != 0)
        why = path + ": " + std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = path + ": is not a regular file";
    else if (st.st_uid != geteuid())
        why = path + ": is owned by another user";
    else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        why = path + ": group or others may read or write it (chmod 600 " + path + ")";
    else if (st.st_size > static_cast<off_t>(kMaxFileSize))
        why = path + ": is larger than 64 KiB";
    else
        result = Load::loaded;
    while (result == Load::loaded) {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = path + ": " + std::strerror(errno);
            result = Load::refused;
        }
        if (n <= 0 || text.size() > kMaxFileSize)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return result;
}

}  // namespace

std::string credentials_path() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/sgvisa/credentials";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config/sgvisa/credentials";
    return {};  // nowhere to look: no file
}

bool is_credential_id(std::string_view id) {
    if (id.empty() || !is_letter(id[0]))
        return false;
    for (char c : id) {
        if (!is_letter(c) && !(c >= '0' && c <= '9') && c != '-')
            return false;
    }
    return true;
}

Load load_secure_settings(const std::string& path, SecureSettings& out, std::string& why) {
    out = SecureSettings{};
    if (path.empty())
        return Load::missing;
    std::string text;
    const Load got = read_private(path, text, why);
    if (got != Load::loaded)
        return got;
    std::string_view rest = text;
    Credential* section = nullptr;
    std::string section_id;
    const auto incomplete = [&] {
        return section != nullptr && (section->user.empty() || section->password.empty());
    };
    for (int line_no = 1; !rest.empty(); ++line_no) {
        const std::size_t nl = rest.find('\n');
        const std::string_view line = trim(rest.substr(0, nl));
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        const std::string where = path + ":" + std::to_string(line_no) + ": ";
        if (line.empty() || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            if (incomplete()) {
                why = path + ": [" + section_id + "] needs both user and password";
                return Load::refused;
            }
            section_id = std::string(line.substr(1, line.size() - 2));
            if (!is_credential_id(section_id)) {
                why = where + "\"" + section_id +
                      "\" is no credential id (a letter, then letters, digits, '-')";
                return Load::refused;
            }
            if (out.credentials.count(section_id) != 0) {
                why = where + "[" + section_id + "] a second time";
                return Load::refused;
            }
            section = &out.credentials[section_id];
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            why = where + "neither [id] nor key = value";
            return Load::refused;
        }
        const std::string_view key = trim(line.substr(0, eq));
        const std::string value(trim(line.substr(eq + 1)));
        if (section == nullptr && key == "ca-file") {
            out.ca_file = value;
        } else if (section != nullptr && key == "user") {
            section->user = value;
        } else if (section != nullptr && key == "password") {
            section->password = value;
        } else {
            why = where + "unknown key \"" + std::string(key) + "\"" +
                  (section != nullptr ? " in [" + section_id + "]" : std::string());
            return Load::refused;
        }
    }
    if (incomplete()) {
        why = path + ": [" + section_id + "] needs both user and password";
        return Load::refused;
    }
    return Load::loaded;
}

}  // namespace sgsecure
