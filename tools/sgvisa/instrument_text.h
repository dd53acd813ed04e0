// A listed instrument as the tool shows it: lines for people, an object for scripts.
#pragma once

#include <string>

#include "instrument_listing.h"
#include "json_writer.h"

namespace sgvisa_tool {

// The resource name, then one indented "label  value" line per fact.
std::string instrument_text(const ListedInstrument& item);

// One object with every fact; absent ones are null.
void write_instrument_json(const ListedInstrument& item, JsonWriter& json);

// "label" padded to the value column, then `value` and a line end.
std::string fact_line(const std::string& label, const std::string& value);

}  // namespace sgvisa_tool
