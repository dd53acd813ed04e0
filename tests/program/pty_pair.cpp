#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ptytest {

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return;
    int on = 1;
    if (::ioctl(master_, TIOCPKT, &on) != 0)
        return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        return;
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

PtyPair::~PtyPair() {
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
}

bool PtyPair::type(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool PtyPair::wait_for_flow_control(bool on, std::chrono::milliseconds bound) {
    const int wanted = on ? TIOCPKT_DOSTOP : TIOCPKT_NOSTOP;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{master_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            return false;
        // Packet mode: a zero byte then data, or one byte of status flags.
        if (buf[0] == TIOCPKT_DATA)
            screen_.append(buf + 1, static_cast<std::size_t>(n - 1));
        else if (buf[0] & wanted)
            return true;
    }
}

int PtyPair::pending_input() const {
    int n = -1;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
}

termios PtyPair::settings() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
}

bool PtyPair::set_settings(const termios& t) {
    return ::tcsetattr(slave_, TCSANOW, &t) == 0;
}

void PtyPair::hang_up() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace ptytest
