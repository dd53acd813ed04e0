#include "srq_channel.h"

#include <unistd.h>

#include "device/usbtmc_device.h"
#include "proto/vxi11.h"
#include "tcp_io.h"

namespace sgsim::network {

namespace vxi = sgproto::vxi11;

bool SrqChannel::open(std::uint32_t address, std::uint16_t port, std::uint32_t prog,
                      std::uint32_t vers) {
    close();
    fd_ = connect_tcp(address, port, kBound);
    prog_ = prog;
    vers_ = vers;
    return fd_ >= 0;
}

void SrqChannel::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool SrqChannel::send_service_request(const std::string& handle, bool long_fragment, int stop_fd) {
    if (fd_ < 0)
        return false;
    vxi::Bytes record;
    const vxi::DeviceSrqParms args{
        vxi::ByteView(reinterpret_cast<const std::uint8_t*>(handle.data()), handle.size())};
    sgproto::oncrpc::call_record(
        record, sgproto::oncrpc::make_call(++xid_, prog_, vers_, vxi::DEVICE_INTR_SRQ), args);
    if (long_fragment) {
        // The header's length, bytes 1-3 big-endian, counts four more.
        const std::uint32_t length =
            (std::uint32_t{record[1]} << 16) | (std::uint32_t{record[2]} << 8) | record[3];
        const std::uint32_t more = length + 4;
        record[1] = static_cast<std::uint8_t>(more >> 16);
        record[2] = static_cast<std::uint8_t>(more >> 8);
        record[3] = static_cast<std::uint8_t>(more);
    }
    if (!send_whole(fd_, record, stop_fd, Clock::now() + kBound)) {
        close();
        return false;
    }
    return true;
}

}  // namespace sgsim::network
