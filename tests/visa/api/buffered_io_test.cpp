// viBufWrite, viBufRead, viFlush and viSetBuf over the formatted buffers;
// viReadToFile and viWriteFromFile; the string forms of formatted I/O.
// Against the in-memory instrument, which records each write as it came.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "visa_fixture.h"

namespace sgtest {
namespace {

using Writes = std::vector<std::pair<std::string, bool>>;  // bytes, END

ViStatus buf_write(ViSession vi, const std::string& s) {
    ViUInt32 n = 0;
    const ViStatus st = viBufWrite(vi, reinterpret_cast<const ViByte*>(s.data()),
                                   static_cast<ViUInt32>(s.size()), &n);
    return st == VI_SUCCESS && n != s.size() ? VI_ERROR_SYSTEM_ERROR : st;
}

struct WriteCase {
    const char* name;
    std::function<void(ViSession)> steps;
    Writes expected;
};

class BufferedWrite : public VisaTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(BufferedWrite, BytesGoOutWhenTheBufferRulesSay) {
    const ViSession vi = open_instrument();
    GetParam().steps(vi);
    Writes got;
    for (const auto& w : instrument().writes())
        got.emplace_back(w.bytes, w.end);
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BufferedWrite,
    ::testing::Values(
        WriteCase{"HeldUntilFlushWithEnd",
                  [](ViSession vi) {
                      ASSERT_EQ(buf_write(vi, "*RST\n"), VI_SUCCESS);
                      ASSERT_EQ(viFlush(vi, VI_WRITE_BUF), VI_SUCCESS);
                      ASSERT_EQ(viFlush(vi, VI_WRITE_BUF), VI_SUCCESS);  // empty: nothing
                  },
                  {{"*RST\n", true}}},
        WriteCase{"FullBufferGoesInPiecesOfItsSizeThenJoinsViPrintf",
                  [](ViSession vi) {
                      ASSERT_EQ(viSetBuf(vi, VI_WRITE_BUF, 4), VI_SUCCESS);
                      ASSERT_EQ(buf_write(vi, "abcdefghij"), VI_SUCCESS);
                      ASSERT_EQ(viPrintf(vi, "%d\n", 7), VI_SUCCESS);
                  },
                  {{"abcd", false}, {"efgh", false}, {"ij7\n", true}}},
        WriteCase{"LongViPrintfGoesInPiecesOfTheBufferSize",
                  [](ViSession vi) {
                      ASSERT_EQ(viSetBuf(vi, VI_WRITE_BUF, 4), VI_SUCCESS);
                      ASSERT_EQ(viPrintf(vi, "%s\n", "123456789"), VI_SUCCESS);
                  },
                  {{"1234", false}, {"5678", false}, {"9\n", true}}},
        WriteCase{"FlushOnAccessSendsEachCall",
                  [](ViSession vi) {
                      ASSERT_EQ(viSetAttribute(vi, VI_ATTR_WR_BUF_OPER_MODE, VI_FLUSH_ON_ACCESS),
                                VI_SUCCESS);
                      ASSERT_EQ(buf_write(vi, "A"), VI_SUCCESS);
                      ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
                      ASSERT_EQ(buf_write(vi, "B"), VI_SUCCESS);
                  },
                  {{"A", true}, {"B", false}}},
        WriteCase{"DiscardAndClearDropIt",
                  [](ViSession vi) {
                      ASSERT_EQ(buf_write(vi, "gone"), VI_SUCCESS);
                      ASSERT_EQ(viFlush(vi, VI_WRITE_BUF_DISCARD), VI_SUCCESS);
                      EXPECT_EQ(viFlush(vi, VI_WRITE_BUF | VI_WRITE_BUF_DISCARD),
                                VI_ERROR_INV_MASK);
                      ASSERT_EQ(buf_write(vi, "gone too"), VI_SUCCESS);
                      ASSERT_EQ(viClear(vi), VI_SUCCESS);
                      ASSERT_EQ(viPrintf(vi, "*CLS\n"), VI_SUCCESS);
                  },
                  {{"*CLS\n", true}}},
        WriteCase{"SetBufSendsWhatWasHeld",
                  [](ViSession vi) {
                      ASSERT_EQ(buf_write(vi, "OUTP 0\n"), VI_SUCCESS);
                      ASSERT_EQ(viSetBuf(vi, VI_WRITE_BUF, 64), VI_SUCCESS);
                  },
                  {{"OUTP 0\n", true}}}),
    [](const ::testing::TestParamInfo<WriteCase>& p) { return std::string(p.param.name); });

// viBufRead takes the reply in pieces of VI_ATTR_RD_BUF_SIZE and shares the
// read buffer with viScanf.
TEST_F(VisaTest, BufReadSharesTheReadBufferWithScanf) {
    const ViSession vi = open_instrument();
    instrument().answer("DATA?\n", Reply::in_parts({"12,345", ",6789\n"}));
    ASSERT_EQ(viSetBuf(vi, VI_READ_BUF, 4), VI_SUCCESS);
    ASSERT_EQ(viPrintf(vi, "DATA?\n"), VI_SUCCESS);
    char buf[16] = {};
    ViUInt32 n = 0;
    EXPECT_EQ(viBufRead(vi, reinterpret_cast<ViByte*>(buf), 2, &n), VI_SUCCESS_MAX_CNT);
    EXPECT_EQ(std::string(buf, n), "12");
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, ','), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    EXPECT_EQ(viBufRead(vi, reinterpret_cast<ViByte*>(buf), sizeof buf, &n), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(std::string(buf, n), ",");
    int value = 0;
    EXPECT_EQ(viScanf(vi, "%d", &value), VI_SUCCESS);
    EXPECT_EQ(value, 345);
    EXPECT_EQ(viBufRead(vi, reinterpret_cast<ViByte*>(buf), sizeof buf, &n), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(viBufRead(vi, reinterpret_cast<ViByte*>(buf), sizeof buf, &n), VI_SUCCESS);
    EXPECT_EQ(std::string(buf, n), "6789\n");
}

TEST_F(VisaTest, FilesGoToAndFromTheInstrumentBounded) {
    const ViSession vi = open_instrument();
    const std::string path = runtime_dir() + "/data.bin";
    std::string content(200000, 'x');  // more than one step of the copy
    for (std::size_t i = 0; i < content.size(); i += 7)
        content[i] = static_cast<char>('a' + i % 26);
    std::ofstream(path, std::ios::binary) << content;
    ViUInt32 n = 0;
    ASSERT_EQ(viWriteFromFile(vi, path.c_str(), 150000, &n), VI_SUCCESS);
    EXPECT_EQ(n, 150000u);
    ASSERT_EQ(instrument().messages().size(), 1u);
    EXPECT_EQ(instrument().messages()[0], content.substr(0, 150000));
    ASSERT_EQ(viWriteFromFile(vi, path.c_str(), 900000, &n), VI_SUCCESS);
    EXPECT_EQ(n, content.size());

    instrument().push_output("first\n", true);
    ASSERT_EQ(viReadToFile(vi, path.c_str(), 3, &n), VI_SUCCESS_MAX_CNT);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_FILE_APPEND_EN, VI_TRUE), VI_SUCCESS);
    ASSERT_EQ(viReadToFile(vi, path.c_str(), 1000, &n), VI_SUCCESS);
    EXPECT_EQ(n, 3u);
    std::stringstream file;
    file << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(file.str(), "first\n");

    const std::string missing = runtime_dir() + "/none/x";
    EXPECT_EQ(viWriteFromFile(vi, missing.c_str(), 10, &n), VI_ERROR_FILE_ACCESS);
    EXPECT_EQ(viReadToFile(vi, missing.c_str(), 10, &n), VI_ERROR_FILE_ACCESS);
    EXPECT_EQ(n, 0u);
}

TEST_F(VisaTest, StringFormsFormatIntoTheCallersStringWithinTheWriteBufferSize) {
    const ViSession vi = open_instrument();
    ViByte out[16];
    ASSERT_EQ(viSetBuf(vi, VI_WRITE_BUF, 8), VI_SUCCESS);
    EXPECT_EQ(viSPrintf(vi, out, "F %d", 12345), VI_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "F 12345");
    EXPECT_EQ(viSPrintf(vi, out, "F %d", 123456), VI_ERROR_USER_BUF);
    int a = 0;
    char word[8] = {};
    EXPECT_EQ(viSScanf(vi, reinterpret_cast<const ViByte*>("42,volt"), "%d,%7s", &a, word),
              VI_SUCCESS);
    EXPECT_EQ(a, 42);
    EXPECT_STREQ(word, "volt");
    EXPECT_TRUE(instrument().writes().empty());
}

}  // namespace
}  // namespace sgtest
