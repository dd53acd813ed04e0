// Blocks and lists through viQueryf and viPrintf against sgsim --io-test:
// the conversions end to end, over the local bus.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

constexpr char kName[] = "USB0::0x4d19::0x0040::FMT1::INSTR";

class FormattedIoSim : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        sim_ =
            std::make_unique<SimProcess>(runtime_, "FMT1", std::vector<std::string>{"--io-test"});
        ASSERT_TRUE(sim_->ready());
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        ASSERT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi_), VI_SUCCESS);
    }
    void TearDown() override { viClose(rm_); }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
};

TEST_F(FormattedIoSim, BlocksOfEachElementAndListsReadAsTheirValues) {
    // The instrument's elements: 1, -2, 0x0102030405060708, -4 cut to the
    // element, and 1.5, -2.25, 0.5, -4 as floats; as host-order bits here.
    const struct {
        const char* query;
        const char* format;
        std::size_t element;
        std::vector<std::uint64_t> bits;
    } blocks[] = {
        {"BLOC:BYTE?\n", "%#b", 1, {1, 0xFE, 0x08, 0xFC}},
        {"IBLOC:WORD?\n", "%#hb", 2, {1, 0xFFFE, 0x0708, 0xFFFC}},
        {"BLOC:LONG?\n", "%#lb", 4, {1, 0xFFFFFFFE, 0x05060708, 0xFFFFFFFC}},
        {"IBLOC:QUAD?\n",
         "%#llb",
         8,
         {1, ~std::uint64_t{1}, 0x0102030405060708, ~std::uint64_t{3}}},
        {"IBLOC:FLO?\n", "%#zb", 4, {0x3FC00000, 0xC0100000, 0x3F000000, 0xC0800000}},
        {"BLOC:DOUB?\n",
         "%#Zb",
         8,
         {0x3FF8ull << 48, 0xC002ull << 48, 0x3FE0ull << 48, 0xC010ull << 48}},
    };
    for (const auto& b : blocks) {
        unsigned char data[64] = {};
        int count = 8;
        ASSERT_EQ(viQueryf(vi_, b.query, b.format, &count, data), VI_SUCCESS) << b.query;
        ASSERT_EQ(count, 4) << b.query;
        for (std::size_t i = 0; i < 4; ++i) {
            std::uint64_t v = 0;
            std::memcpy(&v, data + i * b.element, b.element);  // a little-endian host
            EXPECT_EQ(v, b.bits[i]) << b.query << i;
        }
    }
    double reals[8] = {};
    int count = 8;
    ASSERT_EQ(viQueryf(vi_, "LIST:REAL?\n", "%,#lf", &count, reals), VI_SUCCESS);
    EXPECT_EQ(std::vector<double>(reals, reals + count),
              (std::vector<double>{1.5, -2.25, 0.5, -4}));
    int ints[4] = {};
    ASSERT_EQ(viQueryf(vi_, "LIST:INT?\n", "%,4d", ints), VI_SUCCESS);
    EXPECT_EQ(std::vector<int>(ints, ints + 4), (std::vector<int>{1, -2, 258, -4}));
    // The reply after each query was taken whole: the next one is its own.
    char idn[128];
    ASSERT_EQ(viQueryf(vi_, "*IDN?\n", "%127[^\n]", idn), VI_SUCCESS);
    EXPECT_STREQ(idn, "Simulated Signal Sources,IO-TEST,FMT1,1.0");
}

TEST_F(FormattedIoSim, BlockWriteArrivesByteForByte) {
    const std::int16_t samples[] = {0x0102, -2, 0x0a0d};
    ASSERT_EQ(viPrintf(vi_, "RECEIVE\n"), VI_SUCCESS);
    ASSERT_EQ(viPrintf(vi_, "%#hb\n", 3, samples), VI_SUCCESS);
    char kept[64] = {};
    ViUInt32 got = 0;
    ASSERT_EQ(viWrite(vi_, reinterpret_cast<ViConstBuf>("SEND\n"), 5, &got), VI_SUCCESS);
    ASSERT_EQ(viRead(vi_, reinterpret_cast<ViBuf>(kept), sizeof kept, &got), VI_SUCCESS);
    EXPECT_EQ(std::string(kept, got), std::string("#16\x01\x02\xff\xfe\x0a\x0d\n", 10));
}

}  // namespace
}  // namespace sgtest
