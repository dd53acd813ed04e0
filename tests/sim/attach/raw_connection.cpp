#include "attach/raw_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>

#include "in_process_sim.h"
#include "localbus/frame_socket.h"
#include "usbtmc_transfers.h"

namespace simtest {

namespace lb = sgproto::localbus;
using namespace std::chrono_literals;

RawConnection::RawConnection(const std::string& socket_path)
    : fd_(sgtest::raw_connect(socket_path)) {
    EXPECT_GE(fd_, 0) << socket_path;
    lb::FrameHeader h{};
    EXPECT_EQ(receive(h, hello_, 5s), VI_SUCCESS) << "awaiting the HELLO";
    EXPECT_EQ(h.type, lb::HELLO);
    hello_param_ = h.param;
}

void RawConnection::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RawConnection::send(std::uint8_t type, std::uint32_t seq, std::uint32_t param,
                         std::span<const std::uint8_t> payload) {
    std::size_t sent = 0;
    EXPECT_EQ(sgvisa::localbus::send_all(fd_, lb::encode_frame(type, 0, seq, param, payload),
                                         sgtest::in(5s), sent),
              VI_SUCCESS);
}

int RawConnection::receive(lb::FrameHeader& h, std::vector<std::uint8_t>& payload,
                           std::chrono::milliseconds wait) {
    return sgvisa::localbus::receive_frame(fd_, rx_, sgtest::in(wait), h, payload);
}

std::vector<std::uint8_t> RawConnection::expect(std::uint8_t type, std::uint32_t seq,
                                                std::uint8_t status) {
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(receive(h, payload, 5s), VI_SUCCESS) << "awaiting type " << int(type);
    EXPECT_EQ(std::vector<int>({h.type, int(h.seq), h.status}),
              std::vector<int>({type, int(seq), status}))
        << "type, seq, status";
    return payload;
}

std::vector<std::uint8_t> RawConnection::control_in(std::uint32_t seq, std::uint8_t request,
                                                    std::uint16_t value, std::uint16_t length) {
    std::array<std::uint8_t, lb::kControlSetupSize> setup{};
    lb::encode_setup({tmc::kRequestTypeInterfaceIn, request, value, 0, length}, setup);
    send(lb::CONTROL_IN, seq, 0, setup);
    return expect(lb::CONTROL_IN, seq, lb::STATUS_OK);
}

void RawConnection::expect_nothing(std::chrono::milliseconds wait) {
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(receive(h, payload, wait), VI_ERROR_TMO) << "got type " << int(h.type);
}

void RawConnection::expect_closed() {
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(receive(h, payload, 5s), VI_ERROR_CONN_LOST);
}

void RawConnection::sync(std::uint32_t seq, std::uint8_t status) {
    std::array<std::uint8_t, lb::kControlSetupSize> setup{};
    lb::encode_setup({tmc::kRequestTypeInterfaceIn, tmc::GET_CAPABILITIES, 0, 0,
                      static_cast<std::uint16_t>(tmc::kCapabilitiesLength)},
                     setup);
    send(lb::CONTROL_IN, seq, 0, setup);
    expect(lb::CONTROL_IN, seq, status);
}

void RawConnection::write(std::uint32_t seq, std::string_view message, std::uint8_t status,
                          bool eom) {
    send(lb::BULK_OUT, seq, 0, msg_out(++tag_, message, eom));
    expect(lb::BULK_OUT, seq, status);
}

void RawConnection::request_reply(std::uint32_t seq) {
    send(lb::BULK_OUT, seq, 0, request_in(++tag_, 4096));
    expect(lb::BULK_OUT, seq, lb::STATUS_OK);
    send(lb::BULK_IN, seq, 8192);
}

std::string RawConnection::reply(std::uint32_t seq) {
    const std::vector<std::uint8_t> transfer = expect(lb::BULK_IN, seq, lb::STATUS_OK);
    return transfer.size() < tmc::kHeaderSize ? "(no transfer)" : parse_in(transfer).data;
}

std::string RawConnection::query(std::uint32_t seq, std::string_view message) {
    write(seq, message);
    request_reply(seq);
    return reply(seq);
}

}  // namespace simtest
