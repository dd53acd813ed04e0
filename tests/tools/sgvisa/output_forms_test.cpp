// What the tool's output is made of: JSON strings that parse whatever bytes
// a device's strings hold, text lines that a device's strings cannot rewrite,
// and GET_CAPABILITIES answers in words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capabilities_text.h"
#include "instrument_text.h"
#include "json_writer.h"

namespace {

TEST(JsonOutput, AnyBytesBecomeAStringThatParses) {
    using sgvisa_tool::json_string;
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string(std::string("\n\x01\x7f", 3)), "\"\\u000a\\u0001\\u007f\"");
    EXPECT_EQ(json_string("Stra\xc3\x9f"
                          "e \xe2\x82\xac"),
              "\"Stra\xc3\x9f"
              "e \xe2\x82\xac\"");
    // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form.
    EXPECT_EQ(json_string("\x80 \xe2\x82 \xc0\xaf"), "\"\\u0080 \\u00e2\\u0082 \\u00c0\\u00af\"");

    sgvisa_tool::JsonWriter json;
    json.begin_object();
    json.key("a").begin_array();
    json.number(-1);
    json.boolean(false);
    json.null();
    json.begin_object();
    json.end_object();
    json.end_array();
    json.key("b").string("");
    json.end_object();
    EXPECT_EQ(json.text(), "{\"a\":[-1,false,null,{}],\"b\":\"\"}");
}

// A device's string in a listed instrument's text: what the terminal gets.
struct Hostile {
    std::string device_string;
    std::string shown;
};

class TerminalText : public ::testing::TestWithParam<Hostile> {};

TEST_P(TerminalText, ADevicesStringCannotRewriteTheTerminal) {
    sgvisa_tool::ListedInstrument item;
    item.resource = "USB0::0x1234::0x5678::" + GetParam().device_string + "::0::INSTR";
    item.manufacturer = GetParam().device_string;
    item.model = GetParam().device_string;
    const std::string text = sgvisa_tool::instrument_text(item);
    EXPECT_NE(text.find("  maker           " + GetParam().shown + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("USB0::0x1234::0x5678::" + GetParam().shown + "::0::INSTR\n", 0), 0u);
    // Line ends only where the text puts them: one per line of facts.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
    for (const char c : text)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Strings, TerminalText,
    ::testing::Values(Hostile{"Plain Maker", "Plain Maker"},
                      Hostile{"Stra\xc3\x9f"
                              "e \xe2\x82\xac",
                              "Stra\xc3\x9f"
                              "e \xe2\x82\xac"},
                      Hostile{"\x1b[2J\x1b]0;title\x07", "\\e[2J\\e]0;title\\x07"},
                      Hostile{"ok\rmay open  yes", "ok\\rmay open  yes"},
                      Hostile{"x\n  may open        yes", "x\\n  may open        yes"},
                      Hostile{"c1 \xc2\x9b"
                              "31m",
                              "c1 \\xC2\\x9B31m"},
                      Hostile{"bad \xff\xc0\xaf \xed\xa0\x80",
                              "bad \\xFF\\xC0\\xAF \\xED\\xA0\\x80"},
                      Hostile{"back\\slash\x7f", "back\\\\slash\\x7F"}));

TEST(CapabilitiesText, BitsVersionsAndWhatIsLeftOut) {
    std::vector<std::uint8_t> answer(24, 0);
    answer[0] = 0x01;  // STATUS_SUCCESS
    answer[2] = 0x10;  // bcdUSBTMC 2.10, read as a version
    answer[3] = 0x02;
    answer[4] = 0x04 | 0x02;  // INDICATOR_PULSE, talk-only
    answer[12] = 0x00;        // bcdUSB488 1.00
    answer[13] = 0x01;
    answer[14] = 0x04 | 0x01;  // 488.2, TRIGGER
    answer[15] = 0x08;         // SCPI
    const auto lines = sgvisa_tool::describe_capabilities(answer, true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].version, "2.10");
    EXPECT_EQ(lines[0].present, (std::vector<std::string>{"INDICATOR_PULSE", "talk-only"}));
    EXPECT_EQ(lines[0].absent, (std::vector<std::string>{"listen-only", "TermChar"}));
    EXPECT_EQ(lines[1].version, "1.00");
    EXPECT_EQ(lines[1].present,
              (std::vector<std::string>{"IEEE 488.2 interface", "TRIGGER", "SCPI"}));
    EXPECT_EQ(lines[1].absent.size(), 4u);

    EXPECT_EQ(sgvisa_tool::describe_capabilities(answer, false).size(), 1u)
        << "USB488's bytes mean nothing on a plain USBTMC interface";
    EXPECT_EQ(sgvisa_tool::describe_capabilities(std::span(answer).first(12), true).size(), 1u);
    answer[0] = 0x80;  // STATUS_FAILED
    EXPECT_TRUE(sgvisa_tool::describe_capabilities(answer, true).empty());
    EXPECT_TRUE(sgvisa_tool::describe_capabilities({}, true).empty());
}

}  // namespace
