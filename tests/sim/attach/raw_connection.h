// A raw connection to a simulated device's local bus socket, for tests that
// speak the frames themselves. Every wait is bounded; a frame other than the
// one expected is a test failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/localbus_frames.h"

namespace simtest {

class RawConnection {
  public:
    // Connects and takes the HELLO, whose payload hello() then holds.
    explicit RawConnection(const std::string& socket_path);
    ~RawConnection() { close(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    const std::vector<std::uint8_t>& hello() const { return hello_; }
    // The HELLO frame's param: the size of the device hello.
    std::uint32_t hello_param() const { return hello_param_; }
    void close();

    void send(std::uint8_t type, std::uint32_t seq, std::uint32_t param,
              std::span<const std::uint8_t> payload = {});
    // The next frame must answer `type` and `seq` with `status`; its payload.
    std::vector<std::uint8_t> expect(std::uint8_t type, std::uint32_t seq, std::uint8_t status);
    // A class request to the interface (bmRequestType 0xA1) answered OK; its
    // data stage.
    std::vector<std::uint8_t> control_in(std::uint32_t seq, std::uint8_t request,
                                         std::uint16_t value, std::uint16_t length);
    // No frame may arrive within `wait`.
    void expect_nothing(std::chrono::milliseconds wait = std::chrono::milliseconds(300));
    // The device closes the connection.
    void expect_closed();
    // Returns once the device has handled every frame sent before: a
    // CONTROL_IN (GET_CAPABILITIES) answered `status` (OK to the holder of
    // the claim, NOT_CLAIMED to another connection).
    void sync(std::uint32_t seq, std::uint8_t status);

    // `message` in one DEV_DEP_MSG_OUT (EOM when `eom`); its BULK_OUT is
    // answered `status`.
    void write(std::uint32_t seq, std::string_view message,
               std::uint8_t status = sgproto::localbus::STATUS_OK, bool eom = true);
    // REQUEST_DEV_DEP_MSG_IN, then a BULK_IN with `seq` left pending.
    void request_reply(std::uint32_t seq);
    // The data of the DEV_DEP_MSG_IN that answers the BULK_IN `seq`.
    std::string reply(std::uint32_t seq);
    // write, request_reply and reply in one.
    std::string query(std::uint32_t seq, std::string_view message);

  private:
    // VI_SUCCESS, VI_ERROR_TMO or VI_ERROR_CONN_LOST.
    int receive(sgproto::localbus::FrameHeader& h, std::vector<std::uint8_t>& payload,
                std::chrono::milliseconds wait);

    int fd_ = -1;
    std::vector<std::uint8_t> hello_;
    std::uint32_t hello_param_ = 0;
    std::vector<std::uint8_t> rx_;
    std::uint8_t tag_ = 0;
};

}  // namespace simtest
