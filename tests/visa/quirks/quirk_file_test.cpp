// The quirks file as users write it: entries, comments, every kind of bad
// line (reported with its file and number, and left out whole), and which
// entry is in force for a device.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "quirks/quirk_file.h"
#include "quirks/quirk_table.h"
#include "quirks/quirk_words.h"
#include "temp_dir.h"

namespace sgtest {
namespace {

using sgvisa::quirks::QuirkEntry;
using sgvisa::usbtmc::HostQuirks;

using BadLines = std::vector<std::pair<int, std::string>>;

std::vector<QuirkEntry> parse(const std::string& text, BadLines& bad) {
    return sgvisa::quirks::parse_quirk_text(
        text, [&](int line, const std::string& why) { bad.emplace_back(line, why); });
}

TEST(QuirkFile, EntriesCommentsAndBlankLines) {
    BadLines bad;
    const auto entries = parse(
        "# devices of the lab\n"
        "\n"
        "0x1234:0x5678 max-transfer=4096 no-termchar   # fails larger requests\n"
        "  abcd:EF01\teom-never clear-on-open\r\n"
        "0X00a1:0x2 max-transfer=0x200\n"
        "0x1111:0x2222\n",
        bad);
    EXPECT_TRUE(bad.empty());
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].vendor_id, 0x1234);
    EXPECT_EQ(entries[0].product_id, 0x5678);
    EXPECT_EQ(sgvisa::quirks::quirk_words(entries[0].quirks), "max-transfer=4096 no-termchar");
    EXPECT_EQ(entries[1].vendor_id, 0xabcd);
    EXPECT_EQ(entries[1].product_id, 0xef01);
    EXPECT_EQ(sgvisa::quirks::quirk_words(entries[1].quirks), "eom-never clear-on-open");
    EXPECT_EQ(entries[2].quirks.max_transfer, 0x200u);
    EXPECT_EQ(entries[3].quirks, HostQuirks{}) << "the IDs alone: no quirk";
}

TEST(QuirkFile, EachBadLineIsReportedWithItsNumberAndLeftOutWhole) {
    BadLines bad;
    const auto entries = parse(
        "0x1234:0x5678 no-termchar\n"
        "0x1234 no-termchar\n"                     // 2: no product ID
        "0x12345:0x0001\n"                         // 3: too long
        "0xzz:0x0001\n"                            // 4: not hexadecimal
        "0x1234:0x5678 no-termchar fast\n"         // 5: unknown switch (the known one is not kept)
        "0x1234:0x5678 max-transfer\n"             // 6: no value
        "0x1234:0x5678 max-transfer=0\n"           // 7: zero
        "0x1234:0x5678 max-transfer=4k\n"          // 8: not a number
        "0x1234:0x5678 max-transfer=4294967296\n"  // 9: too large
        "0x1234:0x5678 eom-never=1\n"              // 10: a value for a flag
        "0x9999:0x0001 eom-never\n",
        bad);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].vendor_id, 0x9999);
    std::vector<int> lines;
    for (const auto& [line, why] : bad) {
        lines.push_back(line);
        EXPECT_FALSE(why.empty());
    }
    EXPECT_EQ(lines, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_NE(bad[3].second.find("\"fast\""), std::string::npos) << bad[3].second;
}

TEST(QuirkFile, LastEntryForADeviceIsInForceAndOthersAreUntouched) {
    const std::vector<QuirkEntry> entries{
        {0x1234, 0x5678, {.max_transfer = 4096}},
        {0x1234, 0x0001, {.no_termchar = true}},
        {0x1234, 0x5678, {.eom_never = true}},
    };
    EXPECT_EQ(sgvisa::quirks::quirks_in(entries, 0x1234, 0x5678), (HostQuirks{.eom_never = true}));
    EXPECT_EQ(sgvisa::quirks::quirks_in(entries, 0x1234, 0x0001),
              (HostQuirks{.no_termchar = true}));
    EXPECT_EQ(sgvisa::quirks::quirks_in(entries, 0x5678, 0x1234), HostQuirks{});
}

TEST(QuirkFile, FilesAreReadFromTheSystemThenTheUsersPlace) {
    TempDir home;
    const char* saved_config = ::getenv("XDG_CONFIG_HOME");
    const std::string saved = saved_config ? saved_config : "";
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (home.path() + "/config").c_str(), 1), 0);
    auto paths = sgvisa::quirks::quirk_file_paths();
    EXPECT_EQ(paths, (std::vector<std::string>{"/etc/sgvisa/quirks",
                                               home.path() + "/config/sgvisa/quirks"}));

    // The user's file changes the quirks of the next open.
    home.make_subdir("config");
    home.make_subdir("config/sgvisa");
    std::ofstream(paths[1]) << "0x4d19:0x0040 max-transfer=64\n0x4d19:0x0040 oops\n";
    std::FILE* messages = std::tmpfile();
    ASSERT_NE(messages, nullptr);
    const auto entries = sgvisa::quirks::read_quirk_file(paths[1], messages);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].quirks.max_transfer, 64u);
    std::rewind(messages);
    char line[512] = {};
    ASSERT_NE(std::fgets(line, sizeof line, messages), nullptr);
    EXPECT_EQ(std::string(line),
              "sgvisa: " + paths[1] + ":2: unknown switch \"oops\"; line ignored\n");
    std::fclose(messages);

    // Without XDG_CONFIG_HOME: under the home directory.
    ::unsetenv("XDG_CONFIG_HOME");
    const char* home_dir = ::getenv("HOME");
    if (home_dir) {
        EXPECT_EQ(sgvisa::quirks::quirk_file_paths().back(),
                  std::string(home_dir) + "/.config/sgvisa/quirks");
    }
    if (saved_config)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST(QuirkFile, MissingFileIsNoEntriesAndUnreadableOneIsReported) {
    TempDir dir;
    std::FILE* messages = std::tmpfile();
    ASSERT_NE(messages, nullptr);
    EXPECT_TRUE(sgvisa::quirks::read_quirk_file(dir.path() + "/none", messages).empty());
    EXPECT_EQ(std::ftell(messages), 0) << "a missing file is no news";
    // A directory where the file should be cannot be read as one.
    dir.make_subdir("quirks");
    EXPECT_TRUE(sgvisa::quirks::read_quirk_file(dir.path() + "/quirks", messages).empty());
    EXPECT_GT(std::ftell(messages), 0);
    std::fclose(messages);
}

}  // namespace
}  // namespace sgtest
