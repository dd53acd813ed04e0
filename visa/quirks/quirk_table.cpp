#include "quirks/quirk_table.h"

#include <array>
#include <cstdlib>

namespace sgvisa::quirks {
namespace {

// Devices known to need a quirk, each described by what it does (never by
// who makes it), e.g.
//   {0x1234, 0x5678, {.max_transfer = 4096}},  // fails requests for more than 4 KiB
// Everything the bytes tell is handled without an entry; none is needed yet.
constexpr std::array<QuirkEntry, 0> kBuiltin{};

}  // namespace

std::span<const QuirkEntry> builtin_quirks() {
    return kBuiltin;
}

std::vector<std::string> quirk_file_paths() {
    std::vector<std::string> paths{"/etc/sgvisa/quirks"};
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && config[0] == '/')
        paths.push_back(std::string(config) + "/sgvisa/quirks");
    else if (home && home[0] == '/')
        paths.push_back(std::string(home) + "/.config/sgvisa/quirks");
    return paths;
}

usbtmc::HostQuirks quirks_in(std::span<const QuirkEntry> entries, std::uint16_t vendor_id,
                             std::uint16_t product_id) {
    usbtmc::HostQuirks quirks;
    for (const QuirkEntry& e : entries) {
        if (e.vendor_id == vendor_id && e.product_id == product_id)
            quirks = e.quirks;
    }
    return quirks;
}

usbtmc::HostQuirks quirks_for(std::uint16_t vendor_id, std::uint16_t product_id) {
    std::vector<QuirkEntry> entries(builtin_quirks().begin(), builtin_quirks().end());
    for (const std::string& path : quirk_file_paths()) {
        const auto more = read_quirk_file(path);
        entries.insert(entries.end(), more.begin(), more.end());
    }
    return quirks_in(entries, vendor_id, product_id);
}

}  // namespace sgvisa::quirks
