// A long reply read in small counts, as PyVISA reads (20 KiB at a time),
// against sgsim --io-test on the local bus: a read that goes on with a
// message takes a whole transfer from the device and keeps the rest for the
// next read. What a program sees must be what it would see reading the
// device count by count: the same bytes, the same statuses, nothing of one
// message in another, whatever the device's quirks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"
#include "temp_dir.h"
#include "visa.h"

namespace sgtest {
namespace {

constexpr char kName[] = "USB0::0x4d19::0x0040::RAH001::INSTR";
const std::string kIdn = "Simulated Signal Sources,IO-TEST,RAH001,1.0\n";
constexpr std::size_t kChunk = 20 * 1024;  // PyVISA's chunk size
constexpr ViUInt16 kMav = 0x10;

// `n` bytes, binary, no linefeed but the last byte.
std::string reply_of(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    for (char& c : s)
        c = c == '\n' ? 'x' : c;
    s.back() = '\n';
    return s;
}

class ReadAhead : public ::testing::Test {
  protected:
    void start(const std::string& quirks = "") {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        std::vector<std::string> args{"--io-test"};
        if (!quirks.empty())
            args.insert(args.end(), {"--quirk", quirks});
        sim_ = std::make_unique<SimProcess>(runtime_, "RAH001", args);
        ASSERT_TRUE(sim_->ready()) << sim_->ready_line();
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        vi_ = open();
    }
    ViSession open() {
        ViSession vi = VI_NULL;
        EXPECT_EQ(viOpen(rm_, kName, VI_NULL, 2000, &vi), VI_SUCCESS);
        return vi;
    }
    void TearDown() override {
        if (rm_ != VI_NULL)
            viClose(rm_);
    }

    ViStatus write(const std::string& s, ViSession vi = VI_NULL) {
        ViUInt32 n = 0;
        return viWrite(vi == VI_NULL ? vi_ : vi, reinterpret_cast<ViConstBuf>(s.data()),
                       static_cast<ViUInt32>(s.size()), &n);
    }
    ViStatus read(std::string& out, std::size_t size = kChunk, ViSession vi = VI_NULL) {
        std::vector<char> buf(size);
        ViUInt32 n = 0;
        const ViStatus st = viRead(vi == VI_NULL ? vi_ : vi, reinterpret_cast<ViPBuf>(buf.data()),
                                   static_cast<ViUInt32>(size), &n);
        out.assign(buf.data(), n);
        return st;
    }
    // Makes the instrument's next reply `data` (which ends with a linefeed).
    void prepare_reply(const std::string& data) {
        ASSERT_EQ(write("RECEIVE\n"), VI_SUCCESS);
        ASSERT_EQ(write(data), VI_SUCCESS);
        ASSERT_EQ(write("SEND\n"), VI_SUCCESS);
    }
    void expect_idn() {
        std::string reply;
        ASSERT_EQ(write("*IDN?\n"), VI_SUCCESS);
        EXPECT_EQ(read(reply, 4096), VI_SUCCESS);
        EXPECT_EQ(reply, kIdn);
    }
    ViUInt16 status_byte() {
        ViUInt16 stb = 0;
        EXPECT_EQ(viReadSTB(vi_, &stb), VI_SUCCESS);
        return stb;
    }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
};

TEST_F(ReadAhead, ReadsInSmallCountsTakeTheReplyInWholeTransfers) {
    start();
    const std::string data = reply_of(80'000);
    prepare_reply(data);
    std::string got;
    std::string part;
    ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);
    got += part;
    EXPECT_TRUE(status_byte() & kMav) << "the first read asks for its count only";
    ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);
    got += part;
    // The second read asked for a whole transfer (64 KiB): the device has
    // sent its whole reply, the library holds the rest.
    EXPECT_FALSE(status_byte() & kMav) << "the read went on count by count";
    ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);
    got += part;
    ASSERT_EQ(read(part), VI_SUCCESS) << "END with the reply's last byte";
    got += part;
    EXPECT_EQ(got, data);
    // END on the last byte a read holds is END, not a full buffer.
    prepare_reply(data);
    ASSERT_EQ(read(part, 30'000), VI_SUCCESS_MAX_CNT);
    ASSERT_EQ(read(part, 50'000), VI_SUCCESS);
    EXPECT_EQ(part, data.substr(30'000));
    expect_idn();
}

TEST_F(ReadAhead, KeptBytesEndWithANewMessageOrAClear) {
    start();
    std::string part;
    for (const char* ender : {"message", "message of another session", "clear"}) {
        SCOPED_TRACE(ender);
        prepare_reply(reply_of(80'000));
        ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);
        ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);  // the rest kept
        ASSERT_FALSE(status_byte() & kMav);
        if (std::string(ender) == "clear") {
            ASSERT_EQ(viClear(vi_), VI_SUCCESS);
            ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
            EXPECT_EQ(read(part), VI_ERROR_TMO) << "no byte outlives a clear";
            ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);
            expect_idn();
        } else if (std::string(ender) == "message") {
            expect_idn();
        } else {
            const ViSession other = open();
            ASSERT_EQ(write("*IDN?\n", other), VI_SUCCESS);
            EXPECT_EQ(read(part, 4096), VI_SUCCESS) << "read by the first session";
            EXPECT_EQ(part, kIdn);
            viClose(other);
        }
    }
}

TEST_F(ReadAhead, SessionsSharingTheInstrumentReadTheOneReplyInTurn) {
    start();
    const std::string data = reply_of(70'000);
    prepare_reply(data);
    const ViSession other = open();
    std::string got;
    std::string part;
    ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);
    got += part;
    ASSERT_EQ(read(part, 1000), VI_SUCCESS_MAX_CNT);
    got += part;
    // The other session goes on where this one stopped, as it would reading
    // the device itself.
    ASSERT_EQ(read(part, 100'000, other), VI_SUCCESS);
    got += part;
    EXPECT_EQ(got, data);
    viClose(other);
    expect_idn();
}

// Each line longer than a count: a read that stops at the termination
// character stops there, whether the device ends its transfer there or the
// library finds it.
class ReadAheadTermChar : public ReadAhead, public ::testing::WithParamInterface<const char*> {};

TEST_P(ReadAheadTermChar, EachReadStopsAtTheTerminationCharacter) {
    start(GetParam());
    const std::string line1 = std::string(30'000, 'a') + "\n";
    const std::string line2 = std::string(50'000, 'b') + "\n";
    const std::string tail = std::string(100, 'c') + "\n";
    prepare_reply(line1 + line2 + tail);
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    const std::vector<std::pair<ViStatus, std::string>> expected{
        {VI_SUCCESS_MAX_CNT, line1.substr(0, kChunk)},
        {VI_SUCCESS_TERM_CHAR, line1.substr(kChunk)},
        {VI_SUCCESS_MAX_CNT, line2.substr(0, kChunk)},
        {VI_SUCCESS_MAX_CNT, line2.substr(kChunk, kChunk)},
        {VI_SUCCESS_TERM_CHAR, line2.substr(2 * kChunk)},
        {VI_SUCCESS, tail},  // END on the termination character is END
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        std::string part;
        EXPECT_EQ(read(part), expected[i].first);
        EXPECT_EQ(part, expected[i].second);
    }
    expect_idn();
}

INSTANTIATE_TEST_SUITE_P(Device, ReadAheadTermChar,
                         ::testing::Values("", "ignore-termchar", "packet64"));

TEST_F(ReadAhead, TransferEndedAtATermCharIsNoStopForAReadWithout) {
    start();
    const std::string line1 = std::string(30'000, 'a') + "\n";
    const std::string rest = std::string(40'000, 'b') + "\n";
    prepare_reply(line1 + rest);
    const ViSession other = open();
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    std::string part;
    ASSERT_EQ(read(part), VI_SUCCESS_MAX_CNT);
    // The device ends this transfer at the linefeed; 1000 bytes of it are read.
    ASSERT_EQ(read(part, 1000), VI_SUCCESS_MAX_CNT);
    // A session without the termination character reads on through it.
    ASSERT_EQ(read(part, 100'000, other), VI_SUCCESS);
    EXPECT_EQ(part, line1.substr(kChunk + 1000) + rest);
    viClose(other);
}

// The whole reply, read in PyVISA's counts up to its length, through each
// deviation the device can play: byte for byte, each status one a read may
// end with, and the instrument in step afterwards.
class ReadAheadQuirk : public ReadAhead, public ::testing::WithParamInterface<const char*> {};

TEST_P(ReadAheadQuirk, LongReplyReadInSmallCountsIsTheReplyByteForByte) {
    start(GetParam());
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 500), VI_SUCCESS);  // eom-never asks once
    for (const std::size_t size : {150'000u, 65'536u, 20'481u, 1'000u}) {
        SCOPED_TRACE(size);
        const std::string data = reply_of(size);
        prepare_reply(data);
        std::string got;
        ViStatus st = VI_SUCCESS_MAX_CNT;
        while (got.size() < data.size()) {
            std::string part;
            st = read(part);
            ASSERT_TRUE(st == VI_SUCCESS || st == VI_SUCCESS_MAX_CNT) << std::hex << st;
            ASSERT_FALSE(part.empty());
            got += part;
        }
        EXPECT_EQ(st, VI_SUCCESS) << "END with the last byte";
        EXPECT_EQ(got, data);
    }
    expect_idn();
}

INSTANTIATE_TEST_SUITE_P(Device, ReadAheadQuirk,
                         ::testing::Values("packet64", "split:3000", "split:7000,tag-repeat",
                                           "eom-always:30000", "eom-never", "no-zlp",
                                           "leading-empty", "late:20", "empty-when-idle"));

}  // namespace
}  // namespace sgtest
