// A raw connection to a simulated device's local bus socket for tests that
// speak the frames themselves: it takes the HELLO on connecting and sends and
// expects frames with bounded waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "localbus_frames.h"
#include "visa.h"

namespace simtest {

class RawConnection {
  public:
    // Connects and reads the HELLO (check ok() and hello_payload()).
    explicit RawConnection(const std::string& socket_path);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool ok() const { return fd_ >= 0 && hello_ok_; }
    const std::vector<std::uint8_t>& hello_payload() const { return hello_; }
    void close();

    void send(std::uint8_t type, std::uint32_t seq, std::uint32_t param,
              std::span<const std::uint8_t> payload = {});

    // The next frame within `wait`: VI_SUCCESS, VI_ERROR_TMO or VI_ERROR_CONN_LOST.
    ViStatus receive(sgproto::localbus::FrameHeader& h, std::vector<std::uint8_t>& payload,
                     std::chrono::milliseconds wait = std::chrono::seconds(5));

    // Adds a failure unless the next frame answers `type` and `seq` with
    // `status`; returns its payload.
    std::vector<std::uint8_t> expect(std::uint8_t type, std::uint32_t seq, std::uint8_t status);
    // Returns once the device has handled every frame sent so far on this
    // connection: a CONTROL_IN (GET_CAPABILITIES) with `seq` and its answer,
    // whatever its status.
    void sync(std::uint32_t seq);
    // Adds a failure if any frame arrives within `wait`.
    void expect_nothing(std::chrono::milliseconds wait = std::chrono::milliseconds(300));

    // Sends `message` in one DEV_DEP_MSG_OUT (EOM set when `eom`) in a
    // BULK_OUT and expects its answer to be `status`.
    void write_message(std::uint32_t seq, std::string_view message,
                       std::uint8_t status = sgproto::localbus::STATUS_OK, bool eom = true);
    // REQUEST_DEV_DEP_MSG_IN in a BULK_OUT (answered OK), then a BULK_IN
    // with `seq` that stays pending until the device answers it.
    void request_reply(std::uint32_t seq);
    // The data of the DEV_DEP_MSG_IN that answers the BULK_IN `seq`.
    std::string reply_data(std::uint32_t seq);
    // write_message, request_reply and reply_data in one.
    std::string query(std::uint32_t seq, std::string_view message);

  private:
    int fd_ = -1;
    bool hello_ok_ = false;
    std::vector<std::uint8_t> hello_;
    std::vector<std::uint8_t> rx_;
    std::uint8_t tag_ = 0;
};

}  // namespace simtest
