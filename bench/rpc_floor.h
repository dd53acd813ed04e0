// The floor of a VXI-11 query: the two ONC RPC calls a query makes (a
// device_write of the 6-byte "*IDN?\n", then a device_read answered with
// 48 bytes), with the argument and reply shapes of those procedures, made
// through libtirpc to a tiny libtirpc server in a child process on a
// loopback port of its own (no portmapper). libtirpc is linked into this
// benchmark only: it is the yardstick, not a part of the library.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "floor_server.h"

namespace sgbench {

class RpcFloorServer : public FloorServer {
  public:
    explicit RpcFloorServer(int idle_ms = 120000);
};

class RpcFloorClient {
  public:
    RpcFloorClient(std::uint16_t port, int bound_ms);
    ~RpcFloorClient();
    RpcFloorClient(const RpcFloorClient&) = delete;
    RpcFloorClient& operator=(const RpcFloorClient&) = delete;

    bool ok() const { return client_ != nullptr; }
    // The two calls of one query; false when either fails or the read's
    // reply is not the 48 bytes.
    bool query();

  private:
    void* client_ = nullptr;  // libtirpc's CLIENT, kept out of this header
    int fd_ = -1;
    int bound_ms_;
};

}  // namespace sgbench
