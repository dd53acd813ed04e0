// sgvisa list
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "instrument_listing.h"
#include "instrument_text.h"
#include "json_writer.h"
#include "visa.h"

namespace sgvisa_tool {

// How long a listing may take in all, however slow sysfs or a simulator is.
constexpr std::uint32_t kListTimeMs = 2000;

namespace {

// The instruments that answer a LAN discovery (VXI-11 broadcast, mDNS),
// found as any program finds them: viFindRsrc. Bounded by
// SGVISA_DISCOVERY_MS; none when it is 0.
std::vector<std::string> lan_instruments() {
    std::vector<std::string> names;
    ViSession rm = VI_NULL;
    if (viOpenDefaultRM(&rm) < VI_SUCCESS)
        return names;
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    ViChar name[VI_FIND_BUFLEN] = {};
    if (viFindRsrc(rm, "TCPIP?*", &list, &count, name) >= VI_SUCCESS) {
        for (ViUInt32 i = 0; i < count; ++i) {
            if (i > 0 && viFindNext(list, name) < VI_SUCCESS)
                break;
            names.emplace_back(name);
        }
    }
    viClose(rm);
    return names;
}

}  // namespace

int run_list(const Options& options, std::FILE* out, std::FILE* /*err*/) {
    const std::vector<ListedInstrument> found =
        list_instruments(options.paths, sgvisa::deadline_after_ms(kListTimeMs));
    const std::vector<std::string> lan = lan_instruments();
    if (options.json) {
        JsonWriter json;
        json.begin_object();
        json.key("instruments").begin_array();
        for (const ListedInstrument& item : found)
            write_instrument_json(item, json);
        json.end_array();
        json.key("lan").begin_array();
        for (const std::string& name : lan)
            json.string(name);
        json.end_array();
        json.end_object();
        std::fprintf(out, "%s\n", json.text().c_str());
        return 0;
    }
    if (found.empty())
        std::fputs("No USBTMC instrument on USB or on the local bus.\n", out);
    for (std::size_t i = 0; i < found.size(); ++i)
        std::fprintf(out, "%s%s", i == 0 ? "" : "\n", instrument_text(found[i]).c_str());
    const char* bound = std::getenv("SGVISA_DISCOVERY_MS");
    if (bound != nullptr && *bound != '\0' && std::strspn(bound, "0") == std::strlen(bound))
        std::fputs("\nLAN discovery is off (SGVISA_DISCOVERY_MS=0).\n", out);
    else
        std::fputs(lan.empty() ? "\nNo instrument answered on the LAN (VXI-11 broadcast, mDNS).\n"
                               : "\nOn the LAN (VXI-11 broadcast, mDNS):\n",
                   out);
    for (const std::string& name : lan)
        std::fprintf(out, "%s\n", name.c_str());
    return 0;
}

}  // namespace sgvisa_tool
