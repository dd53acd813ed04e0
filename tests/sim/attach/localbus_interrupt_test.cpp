// Interrupt-IN on the local bus, in raw frames: the hello that names the
// endpoint, INTERRUPT_IN answered to every waiting connection whether it
// holds the claim or not, the packets kept while nobody waits (the device's
// queue, whose bound the device tests check), CANCEL, and the protocol
// errors that end a connection.
// Ordering waits on answered frames (sync: a GET_CAPABILITIES whose answer
// must be the next frame), never on time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "attach/raw_connection.h"
#include "in_process_sim.h"
#include "proto/localbus_frames.h"
#include "proto/usbtmc.h"
#include "temp_dir.h"
#include "usbtmc_transfers.h"

namespace {

namespace lb = sgproto::localbus;
namespace tmc = sgproto::usbtmc;
using simtest::RawConnection;
using Bytes = std::vector<std::uint8_t>;

class LocalbusInterrupt : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", tmp_.make_subdir("run").c_str(), 1); }

    void start(sgsim::DeviceFaults faults = {}) {
        sim_ = std::make_unique<sgtest::InProcessSim>("SIM001", faults);
    }
    std::unique_ptr<RawConnection> connect() {
        return std::make_unique<RawConnection>(sim_->socket_path());
    }
    std::unique_ptr<RawConnection> holder() {
        auto c = connect();
        c->send(lb::CLAIM, 1, lb::kClaimWait);
        c->expect(lb::CLAIM, 1, lb::STATUS_OK);
        return c;
    }

    sgtest::TempDir tmp_;
    std::unique_ptr<sgtest::InProcessSim> sim_;
};

TEST_F(LocalbusInterrupt, HelloNamesTheEndpointAndPacketsReachEveryWaitingConnection) {
    start();
    auto a = holder();
    auto b = connect();  // never claims
    auto c = connect();  // claims nothing and waits for nothing

    EXPECT_EQ(a->hello_param(), lb::kDeviceHelloSize);
    lb::DeviceHello hello;
    ASSERT_TRUE(lb::decode_hello(a->hello(), lb::device_hello_size(a->hello_param()), hello));
    EXPECT_EQ(hello.interrupt_in_endpoint, 0x83);
    EXPECT_EQ(hello.interrupt_in_packet_size, 2);
    EXPECT_EQ(hello.interface_protocol, tmc::kProtocolUsb488);
    std::string serial, maker, product;
    lb::decode_hello_strings(std::span(a->hello()).subspan(lb::kDeviceHelloSize), serial, maker,
                             product);
    EXPECT_EQ(serial + "|" + product, "SIM001|SG-4040");

    a->send(lb::INTERRUPT_IN, 10, 64);
    b->send(lb::INTERRUPT_IN, 20, 2);
    b->sync(21, lb::STATUS_NOT_CLAIMED);
    a->write(11, "*CLS;*ESE 1;*SRE 32;*OPC\n");
    EXPECT_EQ(a->expect(lb::INTERRUPT_IN, 10, lb::STATUS_OK), (Bytes{0x81, 0x60}));
    EXPECT_EQ(b->expect(lb::INTERRUPT_IN, 20, lb::STATUS_OK), (Bytes{0x81, 0x60}));
    c->sync(30, lb::STATUS_NOT_CLAIMED);  // its next frame: nothing came before

    // READ_STATUS_BYTE: the control transfer, then its notification to the
    // one connection waiting now.
    EXPECT_EQ(a->control_in(12, tmc::USB488_READ_STATUS_BYTE, 9, 3),
              (Bytes{tmc::STATUS_SUCCESS, 9, 0}));
    a->send(lb::INTERRUPT_IN, 13, 2);
    EXPECT_EQ(a->expect(lb::INTERRUPT_IN, 13, lb::STATUS_OK), (Bytes{0x89, 0x60}));
    b->sync(22, lb::STATUS_NOT_CLAIMED);

    // Made while nobody waits, a packet is kept for the next INTERRUPT_IN,
    // from whichever connection; one asking for 1 byte gets 1.
    a->write(14, "*ESR?;*OPC\n");
    b->send(lb::INTERRUPT_IN, 23, 1);
    EXPECT_EQ(b->expect(lb::INTERRUPT_IN, 23, lb::STATUS_OK), (Bytes{0x81}));
    a->sync(15, lb::STATUS_OK);
}

TEST_F(LocalbusInterrupt, CancelReleaseAndProtocolErrors) {
    start();
    auto a = holder();
    auto b = connect();

    // CANCEL from a connection without the claim takes its INTERRUPT_IN
    // back; a CANCEL naming nothing pending is not answered.
    b->send(lb::INTERRUPT_IN, 7, 2);
    b->send(lb::CANCEL, 8, 7);
    b->expect(lb::INTERRUPT_IN, 7, lb::STATUS_CANCELLED);
    b->send(lb::CANCEL, 9, 7);
    b->send(lb::CANCEL, 9, 77);
    b->sync(10, lb::STATUS_NOT_CLAIMED);

    // One seq naming a pending BULK_IN and a pending INTERRUPT_IN: both go.
    a->request_reply(30);
    a->send(lb::INTERRUPT_IN, 30, 2);
    a->send(lb::CANCEL, 31, 30);
    a->expect(lb::INTERRUPT_IN, 30, lb::STATUS_CANCELLED);
    a->expect(lb::BULK_IN, 30, lb::STATUS_CANCELLED);

    // RELEASE gives up the claim, not the INTERRUPT_IN: the next holder's
    // service request still reaches it.
    a->send(lb::INTERRUPT_IN, 40, 2);
    a->send(lb::RELEASE, 41, 0);
    a->expect(lb::RELEASE, 41, lb::STATUS_OK);
    b->send(lb::CLAIM, 11, lb::kClaimWait);
    b->expect(lb::CLAIM, 11, lb::STATUS_OK);
    b->write(12, "*CLS;*ESE 1;*SRE 32;*OPC\n");
    EXPECT_EQ(a->expect(lb::INTERRUPT_IN, 40, lb::STATUS_OK), (Bytes{0x81, 0x60}));

    // A second INTERRUPT_IN while one is pending, or one for 0 bytes, ends
    // the connection (and only it).
    a->send(lb::INTERRUPT_IN, 42, 2);
    a->send(lb::INTERRUPT_IN, 43, 2);
    a->expect_closed();
    auto c = connect();
    c->send(lb::INTERRUPT_IN, 1, 0);
    c->expect_closed();
    b->sync(13, lb::STATUS_OK);
}

// A host that goes away with an INTERRUPT_IN pending, without a CANCEL,
// reads nothing more: the packet it would have got waits for the next
// reader, also when the device has not come to that connection's end of
// stream yet (the hang-up and the message that makes the packet reach it
// together now and then over the rounds). Another reader that is there
// gets it, and then it is not kept a second time.
TEST_F(LocalbusInterrupt, APacketForAHostThatHasGoneWaitsForTheNextReader) {
    start();
    auto holder_connection = holder();
    holder_connection->write(1, "*ESE 1;*SRE 32\n");
    auto reader = connect();
    for (std::uint32_t round = 1; round <= 200; ++round) {
        auto gone = connect();
        gone->send(lb::INTERRUPT_IN, 1, 2);
        gone->sync(2, lb::STATUS_NOT_CLAIMED);
        gone->close();
        holder_connection->write(2 * round, "*CLS;*OPC\n");  // a new request
        reader->send(lb::INTERRUPT_IN, round, 2);
        ASSERT_EQ(reader->expect(lb::INTERRUPT_IN, round, lb::STATUS_OK), (Bytes{0x81, 0x60}))
            << "round " << round;
        EXPECT_EQ(holder_connection->control_in(2 * round + 1, tmc::USB488_READ_STATUS_BYTE, 2, 3),
                  (Bytes{tmc::STATUS_SUCCESS, 2, 0}));
        reader->send(lb::INTERRUPT_IN, 1000 + round, 2);  // takes RQS's status byte
        ASSERT_EQ(reader->expect(lb::INTERRUPT_IN, 1000 + round, lb::STATUS_OK),
                  (Bytes{0x82, 0x60}));
    }

    auto gone = connect();
    gone->send(lb::INTERRUPT_IN, 1, 2);
    gone->sync(2, lb::STATUS_NOT_CLAIMED);
    reader->send(lb::INTERRUPT_IN, 5000, 2);
    reader->sync(5001, lb::STATUS_NOT_CLAIMED);
    gone->close();
    holder_connection->write(1000, "*CLS;*OPC\n");
    EXPECT_EQ(reader->expect(lb::INTERRUPT_IN, 5000, lb::STATUS_OK), (Bytes{0x81, 0x60}));
    auto next = connect();
    next->send(lb::INTERRUPT_IN, 1, 2);
    next->sync(2, lb::STATUS_NOT_CLAIMED);  // nothing kept: its INTERRUPT_IN is still pending
}

TEST_F(LocalbusInterrupt, WithoutTheEndpointTheHelloSaysSoAndInterruptInStalls) {
    start({.no_interrupt_in = true});
    auto a = holder();
    lb::DeviceHello hello;
    ASSERT_TRUE(lb::decode_hello(a->hello(), lb::device_hello_size(a->hello_param()), hello));
    EXPECT_EQ(hello.interrupt_in_endpoint, 0);
    EXPECT_EQ(hello.interrupt_in_packet_size, 0);
    a->send(lb::INTERRUPT_IN, 2, 2);
    a->expect(lb::INTERRUPT_IN, 2, lb::STATUS_STALL);
    a->write(3, "*CLS;*ESE 1;*SRE 32;*OPC\n");
    EXPECT_EQ(a->control_in(4, tmc::USB488_READ_STATUS_BYTE, 2, 3),
              (Bytes{tmc::STATUS_SUCCESS, 2, 0x60}));
    const Bytes caps = a->control_in(5, tmc::GET_CAPABILITIES, 0, tmc::kCapabilitiesLength);
    EXPECT_EQ(caps.at(tmc::kCapsUsb488Device) & tmc::kUsb488DeviceSr1, 0);
}

}  // namespace
