// No C++ exception crosses the C interface: a failure deep inside (here a
// transport that throws) comes back as a VISA status, and the library goes on
// working.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>

#include "transport/transport_openers.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

class ThrowingTransport final : public sgvisa::Transport {
  public:
    ViStatus acquire(sgvisa::Deadline) override { return VI_SUCCESS; }
    void relinquish() override {}
    ViStatus send(std::span<const std::uint8_t>, bool, sgvisa::Deadline) override {
        throw std::bad_alloc();
    }
    ViStatus receive(std::span<std::uint8_t>, const sgvisa::ReadStop&, sgvisa::Deadline,
                     sgvisa::ReadResult&) override {
        throw std::runtime_error("broken");
    }
    ViStatus clear_device(sgvisa::Deadline) override { throw 42; }
    ViStatus read_status_byte(sgvisa::Deadline, std::uint8_t&) override {
        throw std::logic_error("status");
    }
    void cancel() override {}
    void resume() override {}
    bool lost() const override { return false; }
    const sgvisa::InterfaceFacts& facts() const override { return facts_; }

  private:
    sgvisa::InterfaceFacts facts_;
};

class ExceptionBarrier : public VisaTest {
  protected:
    void SetUp() override {
        VisaTest::SetUp();
        opener_ = sgvisa::register_transport_backend(
            {sgvisa::usb_opener([](const sgvisa::UsbResourceName& name, sgvisa::Deadline,
                                   std::unique_ptr<sgvisa::Transport>& out) -> ViStatus {
                 if (name.serial == "THROWS")
                     out = std::make_unique<ThrowingTransport>();
                 else if (name.serial == "OPENTHROWS")
                     throw std::logic_error("open");
                 else
                     return VI_ERROR_RSRC_NFOUND;
                 return VI_SUCCESS;
             }),
             {}});
    }
    void TearDown() override {
        sgvisa::unregister_transport_backend(opener_);
        VisaTest::TearDown();
    }

  private:
    int opener_ = 0;
};

TEST_F(ExceptionBarrier, ThrowingTransportGivesStatusesAndTheLibraryGoesOn) {
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm(), "USB0::0x4d19::0x0040::THROWS::INSTR", VI_NULL, 1000, &vi), VI_SUCCESS);
    ViUInt32 count = 99;
    EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>("X\n"), 2, &count), VI_ERROR_ALLOC);
    EXPECT_EQ(viPrintf(vi, "X\n"), VI_ERROR_ALLOC);
    char buf[16] = "untouched";
    EXPECT_EQ(viRead(vi, reinterpret_cast<ViPBuf>(buf), sizeof buf, &count), VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(viScanf(vi, "%15s", buf), VI_ERROR_SYSTEM_ERROR);
    EXPECT_STREQ(buf, "");  // string targets are emptied before anything is read
    EXPECT_EQ(viClear(vi), VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);

    ViSession none = 7;
    EXPECT_EQ(viOpen(rm(), "USB0::0x4d19::0x0040::OPENTHROWS::INSTR", VI_NULL, 1000, &none),
              VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(none, static_cast<ViSession>(VI_NULL));

    // Other sessions are unaffected.
    instrument().answer("*IDN?\n", "ok\n");
    const ViSession good = open_instrument();
    EXPECT_EQ(viQueryf(good, "*IDN?\n", "%15T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "ok\n");
}

}  // namespace
}  // namespace sgtest
