// What the LAN floors' servers share: a child process serving a listening
// socket on 127.0.0.1 (port chosen by the kernel) until the object that
// forked it goes (its control pipe closes), with the small socket settings
// both floors' clients use.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>

namespace sgbench {

sockaddr_in loopback(std::uint16_t port);
void set_nodelay(int fd);

class FloorServer {
  public:
    // `child(listener, control)` runs in the child and never returns: it
    // serves `listener` and ends when `control` becomes readable (closed).
    explicit FloorServer(const std::function<void(int listener, int control)>& child);
    ~FloorServer();
    FloorServer(const FloorServer&) = delete;
    FloorServer& operator=(const FloorServer&) = delete;

    bool ok() const { return pid_ > 0; }
    std::uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int control_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace sgbench
