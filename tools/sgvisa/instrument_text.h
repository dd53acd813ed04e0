// A listed instrument as the tool shows it: lines for people, an object for scripts.
#pragma once

#include <string>
#include <string_view>

#include "instrument_listing.h"
#include "json_writer.h"

namespace sgvisa_tool {

// The resource name, then one indented "label  value" line per fact.
std::string instrument_text(const ListedInstrument& item);

// One object with every fact; absent ones are null.
void write_instrument_json(const ListedInstrument& item, JsonWriter& json);

// "label" padded to the value column, then `value` (through terminal_text)
// and a line end.
std::string fact_line(const std::string& label, const std::string& value);

// `text` safe to print on a terminal: a device's strings (and a process's
// name) may hold ESC sequences, CRs or line ends that would rewrite or forge
// what the terminal shows. Control characters (C0, DEL, and C1 as UTF-8),
// bytes that are not UTF-8 and the backslash come out as \e, \r, \n, \t,
// \\ or \xHH; the rest of UTF-8 stays as it is.
std::string terminal_text(std::string_view text);

}  // namespace sgvisa_tool
