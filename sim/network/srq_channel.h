// The instrument's end of a VXI-11 interrupt channel: a TCP connection to
// the controller's DEVICE_INTR server, made at create_intr_chan, on which
// each service request goes out as a device_intr_srq call. That call has no
// reply: nothing is ever read from the channel.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace sgsim::network {

class SrqChannel {
  public:
    // How long connecting and sending one call may take.
    static constexpr std::chrono::milliseconds kBound{2000};

    SrqChannel() = default;
    ~SrqChannel() { close(); }
    SrqChannel(const SrqChannel&) = delete;
    SrqChannel& operator=(const SrqChannel&) = delete;

    // Connects to `address` (IPv4, host order):`port`; false when it cannot.
    bool open(std::uint32_t address, std::uint16_t port, std::uint32_t prog, std::uint32_t vers);
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Sends device_intr_srq with `handle`. With `long_fragment`, the
    // fragment header counts four bytes more than are sent, as some
    // instruments do. False (and the channel closed) when it cannot.
    bool send_service_request(const std::string& handle, bool long_fragment, int stop_fd);

  private:
    int fd_ = -1;
    std::uint32_t prog_ = 0;
    std::uint32_t vers_ = 0;
    std::uint32_t xid_ = 0;
};

}  // namespace sgsim::network
