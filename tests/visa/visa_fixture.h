// Common set-up of the front end's tests: a private bus directory (so lock
// files never meet those of other test processes), a resource manager
// session and an in-memory instrument.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "memory_instrument.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {

constexpr std::uint16_t kVendor = 0x4d19;
constexpr std::uint16_t kProduct = 0x0040;

class VisaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(setenv("XDG_RUNTIME_DIR", runtime_dir_.path().c_str(), 1), 0);
        instrument_ = std::make_unique<MemoryInstrument>(kVendor, kProduct, "SN1234");
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        ASSERT_NE(rm_, static_cast<ViSession>(VI_NULL));
    }
    void TearDown() override {
        if (rm_ != VI_NULL)
            viClose(rm_);
        // The next test's instrument has the same name: this one's
        // connection must be gone first.
        EXPECT_TRUE(instrument_->wait_for_closed_transports(std::chrono::seconds(5)));
    }

    // Opens the in-memory instrument; fails the test when that fails.
    ViSession open_instrument(ViAccessMode mode = VI_EXCLUSIVE_LOCK) {
        ViSession vi = VI_NULL;
        const ViStatus st = viOpen(rm_, instrument_->resource_name().c_str(), mode, 1000, &vi);
        EXPECT_EQ(st, VI_SUCCESS);
        return vi;
    }

    MemoryInstrument& instrument() { return *instrument_; }
    ViSession rm() const { return rm_; }
    const std::string& runtime_dir() const { return runtime_dir_.path(); }

  private:
    TempDir runtime_dir_;
    std::unique_ptr<MemoryInstrument> instrument_;
    ViSession rm_ = VI_NULL;
};

}  // namespace sgtest
