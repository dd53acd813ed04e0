// What the tool's output is made of: JSON strings that parse whatever bytes
// a device's strings hold, and GET_CAPABILITIES answers in words.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capabilities_text.h"
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
