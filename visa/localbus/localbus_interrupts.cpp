#include "localbus_interrupts.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame_socket.h"
#include "localbus_frames.h"

namespace sgvisa {
namespace {

namespace lb = sgproto::localbus;

// A live simulator sends HELLO at once.
constexpr auto kHelloBound = std::chrono::milliseconds(500);

class LocalbusInterruptSource final : public InterruptSource {
  public:
    explicit LocalbusInterruptSource(std::string path)
        : path_(std::move(path)), cancel_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~LocalbusInterruptSource() override {
        disconnect();
        if (cancel_fd_ >= 0)
            ::close(cancel_fd_);
    }

    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline) override {
        got = 0;
        if (fd_ < 0) {
            const ViStatus st = connect_to_device();
            if (st != VI_SUCCESS)
                return st;
        }
        if (!pending_) {
            const auto frame = lb::encode_frame(
                lb::INTERRUPT_IN, 0, ++seq_,
                static_cast<std::uint32_t>(std::min<std::size_t>(buf.size(), lb::kMaxPayload)), {});
            std::size_t sent = 0;
            const ViStatus st = localbus::send_all(fd_, frame, deadline, sent, cancel_fd_);
            if (st != VI_SUCCESS)
                return give_up(st);
            pending_ = true;
        }
        for (;;) {
            lb::FrameHeader h{};
            std::vector<std::uint8_t> payload;
            const ViStatus st = localbus::receive_frame(fd_, rx_, deadline, h, payload, cancel_fd_);
            if (st == VI_ERROR_TMO)
                return st;  // the request stays pending for the next read
            if (st != VI_SUCCESS)
                return give_up(st);
            if (h.type != lb::INTERRUPT_IN || h.seq != seq_)
                continue;
            pending_ = false;
            if (h.status != lb::STATUS_OK)
                return VI_ERROR_IO;
            got = std::min(payload.size(), buf.size());
            std::copy_n(payload.begin(), got, buf.begin());
            return VI_SUCCESS;
        }
    }

    void cancel() override {
        const std::uint64_t one = 1;
        (void)!::write(cancel_fd_, &one, sizeof one);
    }

    void resume() override {
        std::uint64_t count = 0;
        (void)!::read(cancel_fd_, &count, sizeof count);
    }

  private:
    // After a cancel or a failure the connection goes: a new one starts in
    // step with the device, with nothing pending.
    ViStatus give_up(ViStatus st) {
        disconnect();
        return st == VI_ERROR_IO ? VI_ERROR_CONN_LOST : st;
    }

    void disconnect() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        pending_ = false;
        rx_.clear();
    }

    ViStatus connect_to_device() {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path_.size() >= sizeof addr.sun_path)
            return VI_ERROR_CONN_LOST;
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0)
            return VI_ERROR_SYSTEM_ERROR;
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            disconnect();
            return VI_ERROR_CONN_LOST;
        }
        lb::FrameHeader h{};
        std::vector<std::uint8_t> payload;
        const ViStatus st =
            localbus::receive_frame(fd_, rx_, Clock::now() + kHelloBound, h, payload, cancel_fd_);
        if (st != VI_SUCCESS || h.type != lb::HELLO)
            return give_up(st == VI_SUCCESS ? VI_ERROR_CONN_LOST : st);
        return VI_SUCCESS;
    }

    std::string path_;
    int fd_ = -1;
    int cancel_fd_;
    std::uint32_t seq_ = 0;
    bool pending_ = false;
    std::vector<std::uint8_t> rx_;
};

}  // namespace

std::unique_ptr<InterruptSource> make_localbus_interrupt_source(std::string socket_path) {
    return std::make_unique<LocalbusInterruptSource>(std::move(socket_path));
}

}  // namespace sgvisa
