// Headers that are not the answer to the pending request are never taken
// as data, and the session goes on afterwards: a malformed one is an I/O
// error, a well-formed one for another request is dropped (the read then
// waits for its own answer, here in vain).
#include "transport_read.h"
#include "usbtmc_fixture.h"

namespace sgtest {
namespace {

struct Fault {
    const char* name;
    void (*apply)(FakeUsbtmcDevice&);
};

void PrintTo(const Fault& f, std::ostream* os) {
    *os << f.name;
}

class MalformedHeader : public UsbtmcHostTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(MalformedHeader, IsRefusedWithIoErrorAndTheNextQueryWorks) {
    open();
    expect_next_query_works();  // the host is in step with the device's transfers
    GetParam().apply(*device);
    ASSERT_EQ(write("BAD?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(64, 0x55);
    std::size_t count = 99;
    bool end = true;
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_IO);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(end);

    device->clear_faults();
    expect_next_query_works();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MalformedHeader,
    ::testing::Values(Fault{"BadInverse", [](FakeUsbtmcDevice& d) { d.bad_inverse = true; }},
                      Fault{"WrongMsgId", [](FakeUsbtmcDevice& d) { d.msg_id = 1; }},
                      Fault{"VendorMsgId", [](FakeUsbtmcDevice& d) { d.msg_id = 127; }},
                      Fault{"SizeBeyondRequest", [](FakeUsbtmcDevice& d) { d.claim_size = 65; }},
                      Fault{"HugeSize", [](FakeUsbtmcDevice& d) { d.claim_size = 0xFFFFFFFFu; }},
                      Fault{"BadInverseInFullPackets",
                            [](FakeUsbtmcDevice& d) {
                                d.bad_inverse = true;
                                d.piece = 64;  // full packets: the host must drain to the end
                                d.junk_after = 200;
                            }}),
    [](const ::testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

class ForeignTag : public UsbtmcHostTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ForeignTag, IsDroppedAndTheReadWaitsForItsOwnAnswer) {
    open();
    GetParam().apply(*device);
    ASSERT_EQ(write("OTHER?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(64, 0x55);
    std::size_t count = 99;
    bool end = true;
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_TMO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buf, std::vector<std::uint8_t>(64, 0x55));
    EXPECT_EQ(device->count_events("ctrl INITIATE_ABORT_BULK_IN"), 1);

    device->clear_faults();
    expect_next_query_works();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ForeignTag,
    ::testing::Values(Fault{"NextTag", [](FakeUsbtmcDevice& d) { d.tag_offset = 1; }},
                      Fault{"PreviousTag", [](FakeUsbtmcDevice& d) { d.tag_offset = -1; }},
                      Fault{"InFullPacketsWithBytesPastItsSize",
                            [](FakeUsbtmcDevice& d) {
                                d.tag_offset = 7;
                                d.piece = 64;
                                d.junk_after = 200;
                            }}),
    [](const ::testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

TEST_F(UsbtmcHostTest, TailOfATransferAnEarlierHostLeftHalfReadIsSkipped) {
    // Before this host's first request the device is still sending the rest
    // of a transfer another program stopped reading: no header at its start.
    device->fifo.push_back(std::vector<std::uint8_t>(128, 'x'));
    device->fifo.push_back(std::vector<std::uint8_t>(100, 'y'));
    open();
    std::string answer;
    ASSERT_EQ(query("*IDN?\n", answer), VI_SUCCESS);
    EXPECT_EQ(answer, "*IDN?=ANSWER\n");

    // Once in step, bytes that are no header are an error, not skipped.
    device->fifo.push_back(std::vector<std::uint8_t>(20, 'z'));
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(64);
    std::size_t count = 0;
    bool end = false;
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_IO);
    EXPECT_EQ(count, 0u);
}

TEST_F(UsbtmcHostTest, SizeBeyondWhatArrivedIsNeverData) {
    open();
    device->claim_extra = 40;  // header promises 40 bytes that never come
    ASSERT_EQ(write("SHORT?\n"), VI_SUCCESS);
    std::vector<std::uint8_t> buf(256);
    std::size_t count = 99;
    bool end = true;
    const ViStatus st = sgtest::read_from(*transport, buf, later(), count, end);
    EXPECT_NE(st, VI_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(end);
    device->claim_extra = 0;
    expect_next_query_works();
}

TEST_F(UsbtmcHostTest, ReplyCutInsideItsHeaderIsNeverData) {
    open();
    device->never_answer = true;
    ASSERT_EQ(write("CUT?\n"), VI_SUCCESS);
    // The device starts the header of its answer to request 2, then goes quiet.
    device->fifo.push_back({2, 2, 0xFD, 0, 6, 0, 0});
    std::vector<std::uint8_t> buf(16);
    std::size_t count = 99;
    bool end = true;
    EXPECT_EQ(sgtest::read_from(*transport, buf, later(), count, end), VI_ERROR_TMO);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(end);
    device->never_answer = false;
    expect_next_query_works();
}

}  // namespace
}  // namespace sgtest
