// Control requests as FunctionFS delivers them, answered through the device
// core: endpoint indexes become the core's addresses, replies keep to
// wLength, and whatever the core or USBTMC does not know is stalled.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "attach/gadget_descriptors.h"
#include "attach/gadget_setup.h"
#include "device/usbtmc_device.h"
#include "proto/usbtmc.h"

namespace {

namespace g = sgsim::gadget;
namespace tmc = sgproto::usbtmc;
using Bytes = std::vector<std::uint8_t>;

class EchoInstrument : public sgsim::Instrument {
  public:
    std::string execute(std::string_view message) override { return std::string(message); }
    void clear() override {}
    void trigger() override {}
    sgsim::StatusRegisters& status() override { return status_; }
    std::string describe_settings() const override { return ""; }

  private:
    sgsim::StatusRegisters status_;
};

class GadgetSetup : public ::testing::Test {
  protected:
    EchoInstrument instrument;
    sgsim::UsbtmcDevice device{instrument, {}, nullptr};

    g::SetupAnswer ask(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                       std::uint16_t index, std::uint16_t length) {
        return g::answer_setup(device, {type, request, value, index, length});
    }

    // Sends "Q?\n" with bTag 5 and asks for its reply with bTag 6.
    void start_query() {
        Bytes out(tmc::kHeaderSize + 4, 0);
        tmc::encode_header({tmc::DEV_DEP_MSG_OUT, 5, 3, tmc::kAttrEom, 0},
                           std::span<std::uint8_t, tmc::kHeaderSize>(out.data(), tmc::kHeaderSize));
        out[12] = 'Q';
        out[13] = '?';
        out[14] = '\n';
        ASSERT_TRUE(device.bulk_out(out));
        Bytes req(tmc::kHeaderSize);
        tmc::encode_header({tmc::REQUEST_DEV_DEP_MSG_IN, 6, 64, 0, 0},
                           std::span<std::uint8_t, tmc::kHeaderSize>(req.data(), tmc::kHeaderSize));
        ASSERT_TRUE(device.bulk_out(req));
    }
};

TEST_F(GadgetSetup, GetCapabilitiesIsAnsweredAndCutToWLength) {
    const auto full = ask(tmc::kRequestTypeInterfaceIn, tmc::GET_CAPABILITIES, 0, 0, 0x18);
    ASSERT_FALSE(full.stall);
    ASSERT_EQ(full.data.size(), tmc::kCapabilitiesLength);
    EXPECT_EQ(full.data[0], tmc::STATUS_SUCCESS);

    const auto cut = ask(tmc::kRequestTypeInterfaceIn, tmc::GET_CAPABILITIES, 0, 0, 4);
    ASSERT_FALSE(cut.stall);
    EXPECT_EQ(cut.data, Bytes(full.data.begin(), full.data.begin() + 4));
}

TEST_F(GadgetSetup, TheInEndpointsIndexReachesTheCoreAsItsBulkInAddress) {
    start_query();
    // FunctionFS names the bulk-IN endpoint by its index, 2. Aborting the
    // pending request with its bTag works only if the core sees 0x82.
    const auto abort = ask(tmc::kRequestTypeEndpointIn, tmc::INITIATE_ABORT_BULK_IN, 6,
                           g::kInEndpointIndex, tmc::kInitiateAbortLength);
    ASSERT_FALSE(abort.stall);
    EXPECT_EQ(abort.data, (Bytes{tmc::STATUS_SUCCESS, 6}));
    EXPECT_FALSE(device.bulk_in(1024, sgsim::Clock::now())) << "the aborted reply must not be sent";
}

TEST_F(GadgetSetup, TheOutEndpointsIndexReachesTheCoreAsItsBulkOutAddress) {
    const auto status = ask(tmc::kRequestTypeEndpointIn, tmc::CHECK_ABORT_BULK_OUT_STATUS, 0,
                            g::kOutEndpointIndex, tmc::kCheckAbortLength);
    ASSERT_FALSE(status.stall);
    EXPECT_EQ(status.data.size(), tmc::kCheckAbortLength);
    // Sent to the IN endpoint's index, the same request is refused.
    EXPECT_TRUE(ask(tmc::kRequestTypeEndpointIn, tmc::CHECK_ABORT_BULK_OUT_STATUS, 0,
                    g::kInEndpointIndex, tmc::kCheckAbortLength)
                    .stall);
}

TEST_F(GadgetSetup, RequestsOutsideTheUsbtmcClassRequestsAreStalled) {
    // An endpoint FunctionFS does not have.
    EXPECT_TRUE(ask(tmc::kRequestTypeEndpointIn, tmc::CHECK_ABORT_BULK_IN_STATUS, 0, 3, 8).stall);
    // A standard request, a vendor request, a class request without data stage
    // or with an OUT data stage, and a class request USBTMC does not define.
    EXPECT_TRUE(ask(0x80, 0x06, 0x0100, 0, 18).stall);
    EXPECT_TRUE(ask(0xC1, tmc::GET_CAPABILITIES, 0, 0, 0x18).stall);
    EXPECT_TRUE(ask(tmc::kRequestTypeInterfaceIn, tmc::GET_CAPABILITIES, 0, 0, 0).stall);
    EXPECT_TRUE(ask(0x21, tmc::INITIATE_CLEAR, 0, 0, 1).stall);
    EXPECT_TRUE(ask(tmc::kRequestTypeInterfaceIn, 99, 0, 0, 8).stall);
}

}  // namespace
