// The host's switches (host_switches.h) as words, as a quirks file names
// them and as they are shown: "max-transfer=4096", "no-termchar",
// "eom-never", "clear-on-open".
#pragma once

#include <string>
#include <string_view>

#include "host_switches.h"

namespace sgvisa {

// Sets in `switches` the switch `word` names. False, with `error` saying
// why, when it names none or its value is bad (a number from 1 to
// 4294967295, decimal or 0x hexadecimal, for those that take one; none for
// the others).
bool apply_switch_word(std::string_view word, HostSwitches& switches, std::string& error);

// The switches set in `switches`, as words separated by blanks in the order
// of the table; "" when none is.
std::string switch_words(const HostSwitches& switches);

}  // namespace sgvisa
