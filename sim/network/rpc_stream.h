// The ONC RPC records a TCP connection brings, one at a time, read as they
// arrive while the server's stop descriptor (and a wake-up descriptor, for
// the service requests a core connection passes on) are watched too. The
// bytes after a record wait for the next call of next().
#pragma once

#include <cstddef>
#include <vector>

#include "device/usbtmc_device.h"
#include "proto/rpc_record.h"

namespace sgsim::network {

class RpcStream {
  public:
    // `wake_fd` may be -1. Records longer than `max_record` end the stream.
    RpcStream(int fd, int stop_fd, int wake_fd, std::size_t max_record);

    enum class Event {
        record,   // record() holds a whole record
        woken,    // wake_fd became readable (it is drained)
        due,      // the deadline passed
        closed,   // the peer closed, the stream broke, or a record was too large
        stopped,  // the server stops
    };

    // Waits for the next record, a wake-up or `deadline`.
    Event next(Clock::time_point deadline = Clock::time_point::max());
    sgproto::oncrpc::ByteView record() const { return reader_.record(); }

  private:
    int fd_;
    int stop_fd_;
    int wake_fd_;
    sgproto::oncrpc::RecordReader reader_;
    bool have_record_ = false;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace sgsim::network
