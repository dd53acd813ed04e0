// The host's quirks (host_quirks.h) as words, as a quirks file names
// them and as they are shown: "max-transfer=4096", "no-termchar",
// "eom-never", "clear-on-open".
#pragma once

#include <string>
#include <string_view>

#include "usbtmc/host_quirks.h"

namespace sgvisa::quirks {

// Sets in `quirks` the quirk `word` names. False, with `error` saying
// why, when it names none or its value is bad (a number from 1 to
// 4294967295, decimal or 0x hexadecimal, for those that take one; none for
// the others).
bool apply_quirk_word(std::string_view word, usbtmc::HostQuirks& quirks, std::string& error);

// The quirks set in `quirks`, as words separated by blanks in the order
// of the table; "" when none is.
std::string quirk_words(const usbtmc::HostQuirks& quirks);

}  // namespace sgvisa::quirks
