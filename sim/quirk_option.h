// The quirks sgsim --quirk knows: one row of data each, from which both the
// option's parser and sgsim --help are made. What each makes the device do
// is device_quirks.h's.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "device/device_quirks.h"

namespace sgsim {

struct QuirkRow {
    std::string_view name;
    // The parameter's name after "NAME:" ("N", "MS"), or empty for none.
    std::string_view parameter;
    unsigned long min = 0;  // the parameter's range
    unsigned long max = 0;
    std::string_view description;  // one line
    void (*apply)(DeviceQuirks&, unsigned long parameter);
};

std::span<const QuirkRow> quirk_table();

// Adds the quirks of one --quirk value, NAME[:VALUE][,NAME[:VALUE]...], to
// `quirks`. False, with a one-line reason in `error`, for an unknown name, a
// missing, extra or bad value, an empty item, or quirks that exclude each
// other (with those already in `quirks`).
bool parse_quirks(std::string_view list, DeviceQuirks& quirks, std::string& error);

// One line per quirk: "  NAME[:PARAM]  description\n".
std::string quirk_help();

}  // namespace sgsim
