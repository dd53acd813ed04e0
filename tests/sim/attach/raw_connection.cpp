#include "attach/raw_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>

#include "deadline.h"
#include "device/usbtmc_transfers.h"
#include "frame_socket.h"
#include "in_process_sim.h"

namespace simtest {

namespace lb = sgproto::localbus;

RawConnection::RawConnection(const std::string& socket_path)
    : fd_(sgtest::raw_connect(socket_path)) {
    if (fd_ < 0)
        return;
    lb::FrameHeader h{};
    hello_ok_ = receive(h, hello_) == VI_SUCCESS && h.type == lb::HELLO;
}

RawConnection::~RawConnection() {
    close();
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
                                         sgtest::in(std::chrono::seconds(5)), sent),
              VI_SUCCESS);
}

ViStatus RawConnection::receive(lb::FrameHeader& h, std::vector<std::uint8_t>& payload,
                                std::chrono::milliseconds wait) {
    return sgvisa::localbus::receive_frame(fd_, rx_, sgtest::in(wait), h, payload);
}

std::vector<std::uint8_t> RawConnection::expect(std::uint8_t type, std::uint32_t seq,
                                                std::uint8_t status) {
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    const ViStatus st = receive(h, payload);
    EXPECT_EQ(st, VI_SUCCESS) << "no answer of type " << int(type) << ", seq " << seq;
    if (st != VI_SUCCESS)
        return {};
    EXPECT_EQ(int(h.type), int(type)) << "seq " << h.seq;
    EXPECT_EQ(h.seq, seq) << "type " << int(h.type);
    EXPECT_EQ(int(h.status), int(status)) << "type " << int(h.type) << ", seq " << h.seq;
    return payload;
}

void RawConnection::sync(std::uint32_t seq) {
    namespace u = sgproto::usbtmc;
    lb::ControlSetup setup{};
    setup.request_type = u::kRequestTypeInterfaceIn;
    setup.request = u::GET_CAPABILITIES;
    setup.length = u::kCapabilitiesLength;
    std::array<std::uint8_t, lb::kControlSetupSize> bytes{};
    lb::encode_setup(setup, bytes);
    send(lb::CONTROL_IN, seq, 0, bytes);
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(receive(h, payload), VI_SUCCESS);
    EXPECT_EQ(int(h.type), int(lb::CONTROL_IN)) << "seq " << h.seq;
    EXPECT_EQ(h.seq, seq);
}

void RawConnection::expect_nothing(std::chrono::milliseconds wait) {
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(receive(h, payload, wait), VI_ERROR_TMO)
        << "got type " << int(h.type) << ", seq " << h.seq << ", status " << int(h.status);
}

void RawConnection::write_message(std::uint32_t seq, std::string_view message, std::uint8_t status,
                                  bool eom) {
    tag_ = static_cast<std::uint8_t>(tag_ % 255 + 1);
    send(lb::BULK_OUT, seq, 0, msg_out(tag_, message, eom));
    expect(lb::BULK_OUT, seq, status);
}

void RawConnection::request_reply(std::uint32_t seq) {
    tag_ = static_cast<std::uint8_t>(tag_ % 255 + 1);
    send(lb::BULK_OUT, seq, 0, request_in(tag_, 4096));
    expect(lb::BULK_OUT, seq, lb::STATUS_OK);
    send(lb::BULK_IN, seq, 4096 + 64);
}

std::string RawConnection::reply_data(std::uint32_t seq) {
    const std::vector<std::uint8_t> transfer = expect(lb::BULK_IN, seq, lb::STATUS_OK);
    if (transfer.size() < sgproto::usbtmc::kHeaderSize) {
        ADD_FAILURE() << "no DEV_DEP_MSG_IN in the answer";
        return {};
    }
    return parse_in(transfer).data;
}

std::string RawConnection::query(std::uint32_t seq, std::string_view message) {
    write_message(seq, message);
    request_reply(seq);
    return reply_data(seq);
}

}  // namespace simtest
