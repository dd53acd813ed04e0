// Every blocking call on a bench's socket bounded: SO_RCVTIMEO and
// SO_SNDTIMEO (the latter bounds connect() too).
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

namespace sgbench {

inline void set_bounds(int fd, int bound_ms) {
    timeval tv{};
    tv.tv_sec = bound_ms / 1000;
    tv.tv_usec = (bound_ms % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace sgbench
