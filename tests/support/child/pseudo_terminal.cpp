#include "pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "child_process.h"

namespace sgtest {

PseudoTerminal::PseudoTerminal(unsigned short rows, unsigned short cols) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    int packet = 1;
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0 || ::ioctl(master_, TIOCPKT, &packet) != 0 ||
        (slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        error_ = std::string("setting up a pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    slave_path_ = name;
    winsize size{};
    size.ws_row = rows;
    size.ws_col = cols;
    ::ioctl(slave_, TIOCSWINSZ, &size);
}

PseudoTerminal::~PseudoTerminal() {
    close_slave();
    hang_up();
}

void PseudoTerminal::close_slave() {
    if (slave_ >= 0)
        ::close(slave_);
    slave_ = -1;
}

void PseudoTerminal::hang_up() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool PseudoTerminal::send(std::string_view bytes) {
    return master_ >= 0 && write_all(master_, bytes);
}

void PseudoTerminal::take_packet(const char* data, std::size_t n) {
    if (n == 0)
        return;
    // Packet mode: a zero byte followed by screen output, or one byte of
    // status flags.
    if (data[0] == TIOCPKT_DATA) {
        output_.append(data + 1, n - 1);
        return;
    }
    if (data[0] & TIOCPKT_NOSTOP)
        ++flow_off_reports_;
    if (data[0] & TIOCPKT_DOSTOP)
        ++flow_on_reports_;
}

bool PseudoTerminal::read_some(Clock::time_point deadline) {
    if (eof_ || master_ < 0)
        return false;
    std::string packet;
    const long n = sgtest::read_some(master_, deadline, packet);
    // EIO (read as the end): every holder of the terminal's other side has
    // closed it.
    eof_ = n == 0;
    take_packet(packet.data(), packet.size());
    return n > 0;
}

bool PseudoTerminal::wait_for(std::string_view text, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const std::size_t at = output_.find(text, match_end_);
        if (at != std::string::npos) {
            match_end_ = at + text.size();
            return true;
        }
        if (!read_some(deadline))
            return false;
    }
}

bool PseudoTerminal::wait_for_flow_control(bool on, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    int& reports = on ? flow_on_reports_ : flow_off_reports_;
    for (;;) {
        if (reports > 0) {
            --reports;
            return true;
        }
        if (!read_some(deadline))
            return false;
    }
}

int PseudoTerminal::pending_input() const {
    int n = -1;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
}

termios PseudoTerminal::settings() const {
    termios t{};
    if (slave_ >= 0) {
        ::tcgetattr(slave_, &t);
        return t;
    }
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        ::tcgetattr(fd, &t);
        ::close(fd);
    } else if (master_ >= 0) {
        ::tcgetattr(master_, &t);  // on Linux the master reports the terminal's settings
    }
    return t;
}

bool PseudoTerminal::set_settings(const termios& t) {
    return ::tcsetattr(slave_, TCSANOW, &t) == 0;
}

bool same_terminal_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string describe_settings_difference(const termios& before, const termios& after) {
    std::string out;
    char line[96];
    auto flags = [&](const char* name, tcflag_t a, tcflag_t b) {
        if (a != b) {
            std::snprintf(line, sizeof line, "%s %#o -> %#o; ", name, a, b);
            out += line;
        }
    };
    flags("c_iflag", before.c_iflag, after.c_iflag);
    flags("c_oflag", before.c_oflag, after.c_oflag);
    flags("c_cflag", before.c_cflag, after.c_cflag);
    flags("c_lflag", before.c_lflag, after.c_lflag);
    for (std::size_t i = 0; i < sizeof before.c_cc; ++i) {
        if (before.c_cc[i] != after.c_cc[i]) {
            std::snprintf(line, sizeof line, "c_cc[%zu] %u -> %u; ", i,
                          static_cast<unsigned>(before.c_cc[i]),
                          static_cast<unsigned>(after.c_cc[i]));
            out += line;
        }
    }
    return out.empty() ? "identical" : out;
}

}  // namespace sgtest
