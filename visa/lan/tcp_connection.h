// One TCP connection to an instrument, as the LAN transports need it: the
// host's name resolved and the connection made within the open's deadline,
// Nagle off, each message sent by one sendmsg(2), and every wait in poll(2)
// on the socket, the deadline and the caller's cancel descriptor.
//
// The socket is non-blocking and close-on-exec, and registered with the
// process's descriptors (transport/process_descriptors.h), so a fork child
// never keeps a connection its parent closed open for the instrument.
//
// One thread uses a connection at a time; cancel descriptors are the
// caller's (an eventfd another thread writes to end a wait).
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::lan {

// A resolved address of the host, any family.
struct HostAddress {
    sockaddr_storage addr{};
    socklen_t length = 0;
};

// Resolves `host` (a name, dotted IPv4 or IPv6 text without brackets) into
// its TCP addresses. A literal costs no lookup. A name is looked up
// asynchronously and waited for no later than `deadline`:
// VI_ERROR_RSRC_NFOUND when it does not resolve (or not in time), with the
// reason on the calling thread's trace.
ViStatus resolve_host(const std::string& host, Deadline deadline, std::vector<HostAddress>& out);

// Whether `host` is a numeric address rather than a name.
bool is_address_literal(const std::string& host);

// The numeric text of an address ("192.0.2.7", "::1"), and its port.
std::string address_text(const sockaddr_storage& addr);
std::uint16_t address_port(const sockaddr_storage& addr);

class TcpConnection {
  public:
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Connects to `port` of the first of `addresses` that answers before
    // `deadline`, Nagle off. VI_ERROR_RSRC_NFOUND when every one refused or
    // was unreachable, VI_ERROR_TMO when the deadline came first.
    static ViStatus connect(const std::vector<HostAddress>& addresses, std::uint16_t port,
                            Deadline deadline, std::unique_ptr<TcpConnection>& out);

    // Takes `fd`, a connected stream socket made elsewhere (a socketpair of
    // a fuzz target), as a connection; it is closed with it.
    static std::unique_ptr<TcpConnection> adopt(int fd);

    // Sends the concatenation of `parts` as one message: one sendmsg(2) for
    // all of it, continued only where the socket's buffer takes less.
    // VI_ERROR_TMO and VI_ERROR_ABORT (`cancel_fd` readable) tell in `sent`
    // (if given) how much went.
    ViStatus send(std::span<const iovec> parts, Deadline deadline, int cancel_fd,
                  std::size_t* sent = nullptr);
    ViStatus send(std::span<const std::uint8_t> bytes, Deadline deadline, int cancel_fd,
                  std::size_t* sent = nullptr);

    // Receives what has arrived, at most buf.size() bytes, waiting for the
    // first until `deadline` (VI_ERROR_TMO) or `cancel_fd` (VI_ERROR_ABORT).
    // The first call after a send waits before it tries to receive.
    // VI_ERROR_CONN_LOST when the peer closed or reset the connection (and
    // for every call after).
    ViStatus receive_some(std::span<std::uint8_t> buf, Deadline deadline, int cancel_fd,
                          std::size_t& got);

    // Takes what has arrived without waiting and throws it away.
    void discard_pending();

    // TCP_NODELAY and SO_KEEPALIVE, as the VISA attributes set them.
    bool set_nodelay(bool on);
    bool set_keepalive(bool on);

    bool lost() const { return lost_; }
    int fd() const { return fd_; }
    const sockaddr_storage& peer() const { return peer_; }
    // This end's address (where an instrument connects back to).
    sockaddr_storage local() const;

  private:
    explicit TcpConnection(int fd, const sockaddr_storage& peer) : fd_(fd), peer_(peer) {}
    ViStatus lose();

    int fd_;
    sockaddr_storage peer_;
    std::atomic<bool> lost_{false};  // set by the reading thread, seen by the sending one
    bool received_ = false;  // a byte ever came
    // A message went out and nothing was received since. Atomic: a HiSLIP
    // asynchronous channel sends from one thread while it reads on another.
    std::atomic<bool> answer_due_{false};
};

// Waits until `fd` is ready for `events`: VI_SUCCESS, VI_ERROR_TMO when
// `deadline` passed, VI_ERROR_ABORT when `cancel_fd` (if not -1) is readable.
ViStatus wait_ready(int fd, short events, Deadline deadline, int cancel_fd);

}  // namespace sgvisa::lan
