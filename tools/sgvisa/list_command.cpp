// sgvisa list
#include <cstdio>

#include "commands.h"
#include "instrument_listing.h"
#include "instrument_text.h"
#include "json_writer.h"

namespace sgvisa_tool {

// How long a listing may take in all, however slow sysfs or a simulator is.
constexpr std::uint32_t kListTimeMs = 2000;

int run_list(const Options& options, std::FILE* out, std::FILE* /*err*/) {
    const std::vector<ListedInstrument> found =
        list_instruments(options.paths, sgvisa::deadline_after_ms(kListTimeMs));
    if (options.json) {
        JsonWriter json;
        json.begin_object();
        json.key("instruments").begin_array();
        for (const ListedInstrument& item : found)
            write_instrument_json(item, json);
        json.end_array();
        json.end_object();
        std::fprintf(out, "%s\n", json.text().c_str());
        return 0;
    }
    if (found.empty())
        std::fputs("No USBTMC instrument on USB or on the local bus.\n", out);
    for (std::size_t i = 0; i < found.size(); ++i)
        std::fprintf(out, "%s%s", i == 0 ? "" : "\n", instrument_text(found[i]).c_str());
    return 0;
}

}  // namespace sgvisa_tool
