// The operations of the C binding that apply to no resource the library
// serves (visa/api/register_api.cpp, visa/api/interface_api.cpp): on a
// session each returns VI_ERROR_NSUP_OPER and does nothing else (the
// instrument sees nothing, no output argument is written); on what is not a
// session, VI_ERROR_INV_OBJECT.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "visa_fixture.h"

namespace sgtest {
namespace {

// An output argument's bytes before the call: none may change.
constexpr unsigned char kUntouched = 0xA5;

struct Unserved {
    const char* name;
    std::function<ViStatus(ViSession, void* out)> call;
};

const Unserved kUnserved[] = {
    {"viIn8", [](ViSession vi, void* o) { return viIn8(vi, VI_A16_SPACE, 0, (ViPUInt8)o); }},
    {"viOut32Ex", [](ViSession vi, void*) { return viOut32Ex(vi, VI_A32_SPACE, 4, 7); }},
    {"viMoveIn32",
     [](ViSession vi, void* o) { return viMoveIn32(vi, VI_A32_SPACE, 0, 2, (ViAUInt32)o); }},
    {"viMoveAsync",
     [](ViSession vi, void* o) {
         return viMoveAsync(vi, VI_A16_SPACE, 0, VI_WIDTH_8, VI_LOCAL_SPACE, 0, VI_WIDTH_8, 4,
                            (ViPJobId)o);
     }},
    {"viMapAddress",
     [](ViSession vi, void* o) {
         return viMapAddress(vi, VI_A16_SPACE, 0, 16, VI_FALSE, VI_NULL, (ViPAddr)o);
     }},
    // Returns nothing: what shows is that the value stays as it was.
    {"viPeek16",
     [](ViSession vi, void* o) {
         viPeek16(vi, nullptr, (ViPUInt16)o);
         return VI_ERROR_NSUP_OPER;
     }},
    {"viMemAllocEx",
     [](ViSession vi, void* o) { return viMemAllocEx(vi, 64, (ViPBusAddress64)o); }},
    {"viGpibControlATN",
     [](ViSession vi, void*) { return viGpibControlATN(vi, VI_GPIB_ATN_ASSERT); }},
    {"viGpibCommand",
     [](ViSession vi, void* o) {
         return viGpibCommand(vi, reinterpret_cast<ViConstBuf>("?_"), 2, (ViPUInt32)o);
     }},
    {"viVxiCommandQuery",
     [](ViSession vi, void* o) {
         return viVxiCommandQuery(vi, VI_VXI_CMD16_RESP16, 0xCAFE, (ViPUInt32)o);
     }},
    {"viMapTrigger",
     [](ViSession vi, void*) { return viMapTrigger(vi, VI_TRIG_TTL0, VI_TRIG_TTL1, 0); }},
    {"viPxiReserveTriggers",
     [](ViSession vi, void* o) {
         ViInt16 buses[1] = {0}, lines[1] = {0};
         return viPxiReserveTriggers(vi, 1, buses, lines, (ViPInt16)o);
     }},
};

class UnservedOperation : public VisaTest, public ::testing::WithParamInterface<Unserved> {};

TEST_P(UnservedOperation, SaysNotSupportedAndDoesNothingElse) {
    const ViSession vi = open_instrument();
    for (const ViSession session : {vi, rm()}) {
        unsigned char out[16];
        std::memset(out, kUntouched, sizeof out);
        EXPECT_EQ(GetParam().call(session, out), VI_ERROR_NSUP_OPER) << GetParam().name;
        for (unsigned char byte : out)
            ASSERT_EQ(byte, kUntouched) << GetParam().name << " wrote an output argument";
    }
    EXPECT_TRUE(instrument().writes().empty()) << GetParam().name << " sent something";
    EXPECT_EQ(instrument().clears(), 0) << GetParam().name;
    ASSERT_EQ(viClose(vi), VI_SUCCESS);
    unsigned char out[16];
    if (std::strncmp(GetParam().name, "viPeek", 6) != 0) {
        EXPECT_EQ(GetParam().call(vi, out), VI_ERROR_INV_OBJECT) << GetParam().name;
    }
}

INSTANTIATE_TEST_SUITE_P(Binding, UnservedOperation, ::testing::ValuesIn(kUnserved),
                         [](const ::testing::TestParamInfo<Unserved>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
}  // namespace sgtest
