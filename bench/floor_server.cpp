#include "floor_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "child_process.h"

namespace sgbench {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void set_nodelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

FloorServer::FloorServer(const std::function<void(int listener, int control)>& child) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return;
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int pipe_fds[2];
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, SOMAXCONN) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ::close(listener);
        return;
    }
    port_ = ntohs(a.sin_port);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(pipe_fds[1]);
        child(listener, pipe_fds[0]);
        ::_exit(1);  // a child that returns failed
    }
    ::close(listener);
    ::close(pipe_fds[0]);
    control_ = pipe_fds[1];
    if (pid_ < 0) {
        ::close(control_);
        control_ = -1;
    }
}

FloorServer::~FloorServer() {
    if (pid_ <= 0)
        return;
    ::close(control_);  // the server's cue to end: it ends at once
    sgtest::ChildProcess(pid_).wait(std::chrono::milliseconds(5000));  // or is killed
}

}  // namespace sgbench
