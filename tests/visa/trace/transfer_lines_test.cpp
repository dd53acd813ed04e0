// The transfers level: each USBTMC header, class request and notification
// of a dialogue with the simulated generator, decoded; and the decoding of
// transfers that a plain dialogue does not show.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "in_process_sim.h"
#include "proto/usbtmc.h"
#include "trace/trace_text.h"
#include "trace_file.h"
#include "usbtmc/transfer_text.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using namespace sgproto::usbtmc;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(TransferLines, AQueryAndASerialPollOverTheLocalBus) {
    TempDir runtime;
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1), 0);
    InProcessSim sim("SIM001");
    TraceFile trace(sgvisa::trace::Level::transfers);
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, "USB0::0x4d19::0x0040::SIM001::INSTR", VI_NULL, 2000, &vi), VI_SUCCESS);
    char idn[128] = {};
    ASSERT_EQ(viQueryf(vi, const_cast<ViString>("*IDN?\n"), const_cast<ViString>("%127t"), idn),
              VI_SUCCESS);
    ViUInt16 stb = 0;
    ASSERT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    viClose(rm);

    const std::string text = trace.text();
    EXPECT_TRUE(has(text, "  | control GET_CAPABILITIES bmRequestType=0xA1")) << text;
    EXPECT_TRUE(has(text, "  | bulk-OUT DEV_DEP_MSG_OUT bTag=")) << text;
    EXPECT_TRUE(has(text, "TransferSize=6 EOM=1 data=6:\"*IDN?\\n\"")) << text;
    EXPECT_TRUE(has(text, "  | bulk-OUT REQUEST_DEV_DEP_MSG_IN bTag=")) << text;
    EXPECT_TRUE(has(text, "  | bulk-IN DEV_DEP_MSG_IN bTag=")) << text;
    EXPECT_TRUE(has(text, "EOM=1 data=" + std::to_string(std::string(idn).size()) + ":\"" +
                              std::string(idn).substr(0, 20)))
        << text;
    EXPECT_TRUE(has(text, "  | control READ_STATUS_BYTE bmRequestType=0xA1")) << text;
    EXPECT_TRUE(has(text, "  | interrupt-IN READ_STATUS_BYTE answer bTag=")) << text;
    // Each transfer line comes before the line of the call it belongs to.
    EXPECT_LT(text.find("DEV_DEP_MSG_OUT"), text.find(" viQueryf("));
    EXPECT_LT(text.find("control READ_STATUS_BYTE"), text.find(" viReadSTB("));
}

std::vector<std::uint8_t> header(std::uint8_t id, std::uint8_t tag, std::uint32_t size,
                                 std::uint8_t attributes, const std::string& data = "") {
    std::vector<std::uint8_t> out(kHeaderSize + data.size());
    encode_header({id, tag, size, attributes, 0}, std::span(out).first<kHeaderSize>());
    std::copy(data.begin(), data.end(), out.begin() + kHeaderSize);
    return out;
}

TEST(TransferText, AReplyOverSeveralTransfersAndWhatIsNoHeader) {
    std::uint64_t left = 0;
    std::string line;
    // 100 bytes announced, 52 in the first transfer, the rest in the next.
    sgvisa::usbtmc::describe_bulk_in(line, header(DEV_DEP_MSG_IN, 7, 100, 0, std::string(52, 'x')),
                                     left);
    EXPECT_EQ(line, "bulk-IN DEV_DEP_MSG_IN bTag=7 TransferSize=100 EOM=0 data=52:\"" +
                        std::string(48, 'x') + "\"...");
    EXPECT_EQ(left, 48u);
    line.clear();
    const std::vector<std::uint8_t> rest(48, 'y');
    sgvisa::usbtmc::describe_bulk_in(line, rest, left);
    EXPECT_TRUE(has(line, "continuing the reply: 48 bytes")) << line;
    EXPECT_EQ(left, 0u);
    // Padding beyond TransferSize is not shown as data.
    line.clear();
    sgvisa::usbtmc::describe_bulk_in(
        line, header(DEV_DEP_MSG_IN, 8, 2, kAttrEom, std::string("ok\0\0", 4)), left);
    EXPECT_TRUE(has(line, "EOM=1 data=2:\"ok\"")) << line;
    // A bTag whose inverse disagrees is no header.
    auto bad = header(DEV_DEP_MSG_OUT, 9, 1, kAttrEom, "A");
    bad[2] = 0;
    line.clear();
    sgvisa::usbtmc::describe_bulk_out(line, bad);
    EXPECT_TRUE(has(line, "bulk-OUT without a valid header data=13:")) << line;
    line.clear();
    sgvisa::usbtmc::describe_notification(line,
                                          std::vector<std::uint8_t>{kNotifyServiceRequest, 0x50});
    EXPECT_EQ(line, "interrupt-IN service request STB=0x50");
}

TEST(TraceText, AStringWithoutItsZeroIsReadNoFurtherThanAVisaStringBuffer) {
    // Exactly a VISA string buffer, not terminated: ASan catches a read past it.
    auto unterminated = std::make_unique<char[]>(VI_FIND_BUFLEN);
    std::fill_n(unterminated.get(), VI_FIND_BUFLEN, 'q');
    std::string out;
    sgvisa::trace::append_string(out, unterminated.get());
    EXPECT_EQ(out, "\"" + std::string(sgvisa::trace::kShownChars, 'q') + "\"...");
    out.clear();
    sgvisa::trace::append_string(out, "tab\there \"quoted\" \x01\xff");
    EXPECT_EQ(out, R"("tab\there \"quoted\" \x01\xFF")");
}

}  // namespace
}  // namespace sgtest
