// The floors of the LAN figures that need nothing but the kernel: a server
// in a child process on a loopback port of its own, and the client side of
// each measurement, with plain blocking calls, TCP_NODELAY on and one write
// per message. What a LAN transport on loopback cannot beat.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "floor_server.h"

namespace sgbench {

// The query and reply of the TCP floor: the sizes of a SOCKET *IDN?.
inline constexpr char kFloorQuery[] = "*IDN?\n";
inline constexpr std::size_t kFloorReplySize = 48;
// The size of one bulk transfer.
inline constexpr std::size_t kBulkSize = std::size_t{1} << 20;

// A forked server on 127.0.0.1, port chosen by the kernel. On each
// connection, one message at a time: "*IDN?\n" is answered with
// kFloorReplySize bytes ending in a linefeed, "BULK\n" with kBulkSize bytes
// in one write; the end of the stream closes the connection. It serves one
// connection at a time and ends when this object is destroyed (its control
// pipe closes), or after `idle_ms` in which nothing arrived.
class TcpFloorServer : public FloorServer {
  public:
    explicit TcpFloorServer(int idle_ms = 120000);
};

// A connected client of a TcpFloorServer, every call bounded by `bound_ms`.
class TcpFloorClient {
  public:
    TcpFloorClient(std::uint16_t port, int bound_ms);
    ~TcpFloorClient();
    TcpFloorClient(const TcpFloorClient&) = delete;
    TcpFloorClient& operator=(const TcpFloorClient&) = delete;

    bool ok() const { return fd_ >= 0; }
    // One "*IDN?\n" and its reply, read until what arrived ends in a
    // linefeed; false on an error, or when the reply is not `reply_size`
    // bytes long (0: any length). reply() is what came.
    bool query(std::size_t reply_size = kFloorReplySize);
    std::string_view reply() const { return {buf_.data(), reply_size_}; }
    // "BULK\n" and the whole kBulkSize reply.
    bool bulk();
    // `n` queries in flight: each "*IDN?\n" in a send of its own, then all
    // the replies (the floor of queries pipelined on one connection).
    bool queries_in_flight(int n);

  private:
    bool receive(std::size_t size);

    int fd_ = -1;
    std::vector<char> buf_;
    std::size_t reply_size_ = 0;
};

// One TCP connection to `port` made and closed: connect() returning is the
// three-way handshake, which is what an open pays before its first message.
// Returns the microseconds connect() took, or a negative value.
double tcp_connect_us(std::uint16_t port, int bound_ms);

}  // namespace sgbench
