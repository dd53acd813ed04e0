// The USB488 side of the device core with the signal generator behind it:
// what GET_CAPABILITIES claims, READ_STATUS_BYTE with and without an
// interrupt-IN endpoint, the service request notifications and their bound,
// TRIGGER, and REN_CONTROL / GO_TO_LOCAL / LOCAL_LOCKOUT.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/message_log.h"
#include "device/usbtmc_device.h"
#include "proto/usbtmc.h"
#include "scpi/signal_generator.h"
#include "temp_dir.h"
#include "usbtmc_transfers.h"

namespace {

namespace tmc = sgproto::usbtmc;
using sgsim::Clock;
using sgsim::InterruptPacket;
using sgsim::RemoteLocal;
using sgsim::UsbtmcDevice;
using simtest::Bytes;
using simtest::msg_out;
using simtest::request_in;
using State = RemoteLocal::State;
using Packets = std::vector<InterruptPacket>;

class Usb488Device : public ::testing::Test {
  protected:
    sgtest::TempDir dir;
    sgsim::SignalGenerator generator;
    sgsim::MessageLog log;
    std::unique_ptr<UsbtmcDevice> dev;
    std::uint8_t tag = 0;

    void SetUp() override { make({}); }

    void make(sgsim::DeviceFaults faults) {
        dev.reset();  // one device at a time takes the generator's service requests
        std::string error;
        ASSERT_TRUE(log.open(dir.path() + "/received.log", error)) << error;
        dev = std::make_unique<UsbtmcDevice>(generator, faults, &log);
    }

    void send(std::string_view message) { ASSERT_TRUE(dev->bulk_out(msg_out(++tag, message))); }

    std::string reply() {
        EXPECT_TRUE(dev->bulk_out(request_in(++tag, 4096)));
        const auto t = dev->bulk_in(8192, Clock::now());
        return t ? simtest::parse_in(*t).data : std::string("(nothing)");
    }

    Bytes request(std::uint8_t req, std::uint16_t value = 0, std::uint16_t length = 64) {
        const auto r = dev->control_in(tmc::kRequestTypeInterfaceIn, req, value,
                                       UsbtmcDevice::kInterfaceNumber, length);
        EXPECT_TRUE(r.has_value()) << "request " << int(req) << " stalled";
        return r.value_or(Bytes{});
    }

    // Every interrupt packet waiting, oldest first.
    Packets interrupts() {
        Packets out;
        while (const auto p = dev->take_interrupt())
            out.push_back(*p);
        EXPECT_FALSE(dev->has_interrupt());
        return out;
    }

    std::string logged() const {
        std::stringstream s;
        s << std::ifstream(dir.path() + "/received.log").rdbuf();
        return s.str();
    }
};

TEST_F(Usb488Device, CapabilitiesClaimWhatIsImplemented) {
    Bytes r = request(tmc::GET_CAPABILITIES, 0, 0x18);
    ASSERT_EQ(r.size(), tmc::kCapabilitiesLength);
    EXPECT_EQ(r[0], tmc::STATUS_SUCCESS);
    EXPECT_EQ(r[2] | r[3] << 8, 0x0100) << "bcdUSBTMC";
    EXPECT_EQ(r[tmc::kCapsInterface], 0) << "no INDICATOR_PULSE; talks and listens";
    EXPECT_EQ(r[tmc::kCapsDevice], tmc::kDeviceCapTermChar);
    EXPECT_EQ(r[12] | r[13] << 8, 0x0100) << "bcdUSB488";
    EXPECT_EQ(r[tmc::kCapsUsb488Interface], 0x07) << "488.2, REN/GTL/LLO, TRIGGER";
    EXPECT_EQ(r[tmc::kCapsUsb488Device], 0x0F) << "SCPI, SR1, RL1, DT1";
    EXPECT_FALSE(dev->control_in(tmc::kRequestTypeInterfaceIn, tmc::INDICATOR_PULSE, 0, 0, 1))
        << "not claimed, so not answered";
    EXPECT_TRUE(dev->has_interrupt_in());

    make({.no_interrupt_in = true});
    r = request(tmc::GET_CAPABILITIES, 0, 0x18);
    EXPECT_EQ(r.at(tmc::kCapsUsb488Device), 0x0B) << "no SR1 without interrupt-IN";
    EXPECT_EQ(r.at(tmc::kCapsUsb488Interface), 0x07);
    EXPECT_FALSE(dev->has_interrupt_in());

    // Class requests go to the interface or to a bulk endpoint, not to the
    // interrupt endpoint or elsewhere.
    EXPECT_FALSE(dev->control_in(tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_IN, 1,
                                 UsbtmcDevice::kInterruptInEndpoint, 2));
    EXPECT_FALSE(
        dev->control_in(tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_OUT, 1, 0x02, 2));
    EXPECT_FALSE(
        dev->control_in(tmc::kRequestTypeInterfaceIn, tmc::USB488_READ_STATUS_BYTE, 2, 1, 3))
        << "another interface";
    EXPECT_FALSE(dev->control_in(tmc::kRequestTypeInterfaceIn, 99, 0, 0, 8)) << "unknown request";
}

TEST_F(Usb488Device, ReadStatusByteAnswersOnInterruptInWithItsTagAndClearsRqs) {
    send("*CLS;*ESE 1;*SRE 48;*OPC\n");
    EXPECT_EQ(interrupts(), (Packets{{0x81, 0x60}})) << "the service request, announced";

    // The control transfer: success, the bTag and 0; the status byte comes
    // as {0x80 | bTag, status byte}, RQS set the first time only.
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 2, 3), (Bytes{tmc::STATUS_SUCCESS, 2, 0}));
    EXPECT_EQ(interrupts(), (Packets{{0x82, 0x60}}));
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 127, 3), (Bytes{tmc::STATUS_SUCCESS, 127, 0}));
    EXPECT_EQ(interrupts(), (Packets{{0xFF, 0x20}})) << "the serial poll cleared RQS";

    // A reply waiting: MAV, which SRE enables too: a new service request.
    send("*IDN?\n");
    EXPECT_EQ(interrupts(), (Packets{{0x81, 0x70}}));
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 40, 3)[0], tmc::STATUS_SUCCESS);
    // While that answer waits to be sent, the next READ_STATUS_BYTE is busy.
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 41, 3),
              (Bytes{tmc::STATUS_INTERRUPT_IN_BUSY, 41, 0}));
    EXPECT_EQ(interrupts(), (Packets{{0xA8, 0x70}}));
    EXPECT_EQ(reply(), "Simulated Signal Sources,SG-4040,SIM001,1.0\n");
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 41, 3)[0], tmc::STATUS_SUCCESS);
    EXPECT_EQ(interrupts(), (Packets{{0xA9, 0x20}})) << "MAV gone with the reply read";

    // Only 2..127: 0 and 1 would read as other notifications on the wire.
    for (const std::uint16_t bad : {0, 1, 128, 0x102})
        EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, bad, 3).at(0), tmc::STATUS_FAILED) << bad;
    EXPECT_TRUE(interrupts().empty());
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 9, 2), (Bytes{tmc::STATUS_SUCCESS, 9}))
        << "cut to wLength";
}

TEST_F(Usb488Device, WithoutInterruptInTheControlTransferCarriesTheStatusByte) {
    make({.no_interrupt_in = true});
    send("*CLS;*ESE 1;*SRE 32;*OPC\n");
    EXPECT_FALSE(dev->has_interrupt()) << "no endpoint to announce it on";
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 5, 3), (Bytes{tmc::STATUS_SUCCESS, 5, 0x60}));
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 6, 3), (Bytes{tmc::STATUS_SUCCESS, 6, 0x20}));
    send("BOGUS;*IDN?\n");
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 7, 3).at(2), 0x34) << "queue, MAV, ESB";
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 1, 3).at(0), tmc::STATUS_FAILED);
    EXPECT_FALSE(dev->has_interrupt());
}

TEST_F(Usb488Device, MavAndItsServiceRequestComeWithTheDelayedReply) {
    make({.reply_delay = std::chrono::milliseconds(200)});
    send("*SRE 16\n");
    const Clock::time_point sent = Clock::now();
    send("*OPC?\n");
    const Clock::time_point after = Clock::now();
    ASSERT_TRUE(dev->next_ready());
    dev->advance(sent + std::chrono::milliseconds(199));
    EXPECT_FALSE(dev->has_interrupt()) << "not available before its delay";
    EXPECT_EQ(generator.status().status_byte() & 0x10, 0);
    dev->advance(after + std::chrono::milliseconds(200));
    EXPECT_EQ(interrupts(), (Packets{{0x81, 0x50}}));
    EXPECT_FALSE(dev->next_ready());
    EXPECT_EQ(generator.status().status_byte(), 0x50);
}

TEST_F(Usb488Device, KeepsSixteenPacketsAndAResetDropsOnlyStatusAnswers) {
    // Twenty service requests while nobody takes them (*ESR? between them
    // withdraws each, so each *OPC is a new reason), then a status byte.
    std::string many = "*SRE 32;*ESE 1;*CLS";
    for (int i = 0; i < 20; ++i)
        many += ";*OPC;*ESR?";
    send(many + "\n");
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 3, 3)[0], tmc::STATUS_SUCCESS);
    dev->reset();  // takes the status byte back, not the service requests
    const Packets kept = interrupts();
    EXPECT_EQ(kept, Packets(sgsim::InterruptQueue::kCapacity - 1, {0x81, 0x60}));
    EXPECT_EQ(request(tmc::USB488_READ_STATUS_BYTE, 5, 3)[0], tmc::STATUS_SUCCESS) << "not busy";
    EXPECT_EQ(interrupts(), (Packets{{0x85, 0x00}})) << "the reset dropped the reply too";
}

TEST_F(Usb488Device, TriggerActsAsStarTrgAndIsLogged) {
    const Bytes trigger = simtest::header(tmc::USB488_TRIGGER, 7, 0, 0);
    send("FREQ 2 GHz\n");
    ASSERT_TRUE(dev->bulk_out(msg_out(++tag, "POW ", false)));
    ASSERT_TRUE(dev->bulk_out(trigger));
    EXPECT_EQ(generator.triggers(), 1u);
    ASSERT_TRUE(dev->bulk_out(msg_out(++tag, "-5\n")));
    EXPECT_EQ(generator.settings().rf_level_dbm, -5.0) << "the message around it went on";
    send("*IDN?\n");
    ASSERT_TRUE(dev->bulk_out(trigger));
    EXPECT_EQ(reply(), "Simulated Signal Sources,SG-4040,SIM001,1.0\n")
        << "a trigger leaves the reply waiting";
    send("*TRG\n");
    EXPECT_EQ(generator.triggers(), 3u);
    EXPECT_EQ(logged(), "FREQ 2 GHz\n*TRG\nPOW -5\n*IDN?\n*TRG\n*TRG\n");

    Bytes bad = trigger;
    bad[2] = 0;  // bTagInverse
    EXPECT_FALSE(dev->bulk_out(bad)) << "a malformed header halts bulk-OUT";
    EXPECT_EQ(generator.triggers(), 3u);
}

TEST_F(Usb488Device, RemoteLocalFollowsRenAddressingGoToLocalAndLockout) {
    const Bytes ok{tmc::STATUS_SUCCESS};
    EXPECT_EQ(dev->remote_state(), State::Local);
    send("*RST\n");
    EXPECT_EQ(dev->remote_state(), State::Local) << "no REN: addressing leaves it local";
    EXPECT_EQ(request(tmc::USB488_LOCAL_LOCKOUT, 0, 1), ok);
    EXPECT_EQ(dev->remote_state(), State::Local) << "no lockout without REN";

    EXPECT_EQ(request(tmc::USB488_REN_CONTROL, 1, 1), ok);
    EXPECT_EQ(dev->remote_state(), State::Local) << "REN alone does not address it";
    ASSERT_TRUE(dev->bulk_out(request_in(++tag, 100)));
    EXPECT_EQ(dev->remote_state(), State::Local) << "asked to talk is not addressed to listen";
    send("*CLS\n");
    EXPECT_EQ(dev->remote_state(), State::Remote);
    EXPECT_EQ(dev->describe_interface(), "Remote state: REMOTE\n");
    EXPECT_EQ(request(tmc::USB488_GO_TO_LOCAL, 0, 1), ok);
    EXPECT_EQ(dev->remote_state(), State::Local);
    ASSERT_TRUE(dev->bulk_out(simtest::header(tmc::USB488_TRIGGER, ++tag, 0, 0)));
    EXPECT_EQ(dev->remote_state(), State::Remote) << "a trigger addresses it";

    EXPECT_EQ(request(tmc::USB488_LOCAL_LOCKOUT, 0, 1), ok);
    EXPECT_EQ(dev->remote_state(), State::RemoteWithLockout);
    EXPECT_EQ(request(tmc::USB488_GO_TO_LOCAL, 0, 1), ok);
    EXPECT_EQ(dev->remote_state(), State::LocalWithLockout);
    send("*CLS\n");
    EXPECT_EQ(dev->describe_interface(), "Remote state: REMOTE WITH LOCKOUT\n");
    EXPECT_EQ(request(tmc::USB488_REN_CONTROL, 2, 1), Bytes{tmc::STATUS_FAILED});
    EXPECT_EQ(dev->remote_state(), State::RemoteWithLockout) << "a refused request changes nothing";
    dev->reset();
    EXPECT_EQ(dev->remote_state(), State::RemoteWithLockout) << "the host's reset leaves it";

    EXPECT_EQ(request(tmc::USB488_REN_CONTROL, 0, 1), ok);
    EXPECT_EQ(dev->describe_interface(), "Remote state: LOCAL\n");
    send("*CLS\n");
    EXPECT_EQ(dev->remote_state(), State::Local) << "REN deasserted, lockout cleared";
    EXPECT_EQ(request(tmc::USB488_REN_CONTROL, 1, 1), ok);
    send("*CLS\n");
    EXPECT_EQ(dev->remote_state(), State::Remote) << "no lockout left from before";
}

TEST(InterruptQueue, DropsTheOldestWhenFullAndOnlyStatusAnswersOnReset) {
    sgsim::InterruptQueue queue;
    EXPECT_FALSE(queue.pop());
    for (int i = 0; i < 20; ++i)
        queue.push({0x81, static_cast<std::uint8_t>(i)});
    ASSERT_EQ(queue.size(), sgsim::InterruptQueue::kCapacity);
    EXPECT_FALSE(queue.holds_status_answer());
    EXPECT_EQ(queue.pop(), (InterruptPacket{0x81, 4})) << "0 to 3 were pushed out";

    queue.push({0x82, 0x10});
    queue.push({0xFF, 0x50});  // full again: 5 goes
    EXPECT_TRUE(queue.holds_status_answer());
    queue.drop_status_answers();
    EXPECT_FALSE(queue.holds_status_answer());
    std::vector<int> left;
    while (const auto p = queue.pop()) {
        EXPECT_EQ((*p)[0], 0x81);
        left.push_back((*p)[1]);
    }
    EXPECT_EQ(left, (std::vector<int>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
    EXPECT_TRUE(queue.empty());
}

}  // namespace
