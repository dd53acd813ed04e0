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
    // The instrument's elements: 1, -2, 0x0102030405060708, -4 truncated to
    // the element, and 1.5, -2.25, 0.5, -4 as floats.
    const struct {
        const char* query;
        const char* format;
        std::size_t element;
        std::vector<std::int64_t> integers;
    } blocks[] = {
        {"BLOC:BYTE?\n", "%#b", 1, {1, 0xFE, 0x08, 0xFC}},
        {"IBLOC:WORD?\n", "%#hb", 2, {1, -2, 0x0708, -4}},
        {"BLOC:LONG?\n", "%#lb", 4, {1, -2, 0x05060708, -4}},
        {"IBLOC:QUAD?\n", "%#llb", 8, {1, -2, 0x0102030405060708, -4}},
    };
    for (const auto& b : blocks) {
        alignas(8) unsigned char data[64] = {};
        int count = static_cast<int>(sizeof data);
        ASSERT_EQ(viQueryf(vi_, b.query, "%#b", &count, data), VI_SUCCESS) << b.query;
        // As bytes first, then in its own element size.
        EXPECT_EQ(count, static_cast<int>(4 * b.element)) << b.query;
        count = 8;
        ASSERT_EQ(viQueryf(vi_, b.query, b.format, &count, data), VI_SUCCESS) << b.query;
        ASSERT_EQ(count, 4) << b.query;
        for (std::size_t i = 0; i < 4; ++i) {
            std::int64_t v = 0;
            if (b.element == 1) {
                v = data[i];
            } else if (b.element == 2) {
                std::int16_t e;
                std::memcpy(&e, data + 2 * i, 2);
                v = e;
            } else if (b.element == 4) {
                std::int32_t e;
                std::memcpy(&e, data + 4 * i, 4);
                v = e;
            } else {
                std::memcpy(&v, data + 8 * i, 8);
            }
            EXPECT_EQ(v, b.integers[i]) << b.query << i;
        }
    }
    float floats[4] = {};
    int count = 4;
    ASSERT_EQ(viQueryf(vi_, "IBLOC:FLO?\n", "%#zb", &count, floats), VI_SUCCESS);
    EXPECT_EQ(std::vector<float>(floats, floats + count),
              (std::vector<float>{1.5f, -2.25f, 0.5f, -4}));
    double doubles[4] = {};
    count = 4;
    ASSERT_EQ(viQueryf(vi_, "BLOC:DOUB?\n", "%#Zb", &count, doubles), VI_SUCCESS);
    EXPECT_EQ(std::vector<double>(doubles, doubles + count),
              (std::vector<double>{1.5, -2.25, 0.5, -4}));

    count = 8;
    ASSERT_EQ(viQueryf(vi_, "LIST:REAL?\n", "%,#lf", &count, doubles), VI_SUCCESS);
    EXPECT_EQ(std::vector<double>(doubles, doubles + count),
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
