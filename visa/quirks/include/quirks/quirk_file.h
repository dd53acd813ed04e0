// The quirks file: quirks for devices by USB vendor and product ID, one
// device a line, as users write them without rebuilding the library:
//
//   # a comment, to the end of the line
//   0x1234:0x5678 max-transfer=4096 no-termchar
//
// The IDs are hexadecimal (0x optional); the quirks are quirk_words.h's.
// A line that does not read so is reported and left out whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "usbtmc/host_quirks.h"

namespace sgvisa::quirks {

struct QuirkEntry {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    usbtmc::HostQuirks quirks;
};

// The entries of a quirks file's `text`, in its order. Each bad line is
// passed to `bad_line` with its number (from 1) and why it is bad.
std::vector<QuirkEntry> parse_quirk_text(
    std::string_view text, const std::function<void(int line, const std::string& why)>& bad_line);

// The entries of the file at `path`: none when there is no such file. Each
// bad line, and a file that exists but cannot be read, is reported on
// `messages` as "sgvisa: PATH:LINE: WHY; line ignored". At most the first
// MiB is read.
std::vector<QuirkEntry> read_quirk_file(const std::string& path, std::FILE* messages = stderr);

}  // namespace sgvisa::quirks
