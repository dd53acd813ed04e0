#include "device/message_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sgsim {

std::string log_line(std::string_view message) {
    if (!message.empty() && message.back() == '\n')
        message.remove_suffix(1);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(message.size());
    for (const char ch : message) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            line += "\\x";
            line += kHex[c >> 4];
            line += kHex[c & 0x0F];
        } else {
            line += ch;
        }
    }
    return line;
}

MessageLog::~MessageLog() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool MessageLog::open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    failed_ = false;
    return true;
}

void MessageLog::record(std::string_view message) {
    if (fd_ < 0 || failed_)
        return;
    write_line(log_line(message));
}

void MessageLog::write_line(std::string_view text) {
    if (fd_ < 0 || failed_)
        return;
    const std::string line = std::string(text) + '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "sgsim: cannot write the log: %s\n", std::strerror(errno));
            failed_ = true;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace sgsim
