// libusb is loaded on demand, never linked: the function table is all or
// nothing, and neither the library nor the programs carrying it need
// libusb to start.
#include <gtest/gtest.h>

#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "libusb/libusb_library.h"

namespace sgtest {
namespace {

// The DT_NEEDED entries of the 64-bit ELF file at `path`; nullopt when it
// cannot be read.
std::optional<std::vector<std::string>> needed_libraries(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<char> image(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(image.data(), static_cast<std::streamsize>(image.size()));
    std::vector<std::string> needed;
    if (!in || image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNAMIC)
            continue;
        const Elf64_Shdr& strings = sections[sections[i].sh_link];
        const auto* dyn = reinterpret_cast<const Elf64_Dyn*>(image.data() + sections[i].sh_offset);
        for (std::size_t k = 0; k < sections[i].sh_size / sizeof(Elf64_Dyn); ++k) {
            if (dyn[k].d_tag == DT_NEEDED)
                needed.emplace_back(image.data() + strings.sh_offset + dyn[k].d_un.d_val);
        }
    }
    return needed;
}

bool loaded(const std::string& soname) {
    struct Search {
        const std::string* name;
        bool found;
    } search{&soname, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            const std::string path = info->dlpi_name ? info->dlpi_name : "";
            if (path.size() >= s->name->size() &&
                path.compare(path.size() - s->name->size(), s->name->size(), *s->name) == 0)
                s->found = true;
            return 0;
        },
        &search);
    return search.found;
}

TEST(LibusbLibrary, EveryFunctionResolvedOrNone) {
    sgvisa::libusb::LibusbApi api;
    ASSERT_TRUE(sgvisa::libusb::load_libusb_api("libusb-1.0.so.0", api));
#define SGTEST_EXPECT_RESOLVED(name) EXPECT_NE(api.name, nullptr) << "libusb_" #name;
    SGVISA_LIBUSB_FUNCTIONS(SGTEST_EXPECT_RESOLVED)
#undef SGTEST_EXPECT_RESOLVED

    // Absent, or present without libusb's functions: nothing is taken.
    sgvisa::libusb::LibusbApi none;
    EXPECT_FALSE(sgvisa::libusb::load_libusb_api("libsgtest-no-such-library.so.0", none));
    EXPECT_FALSE(sgvisa::libusb::load_libusb_api("libm.so.6", none));
#define SGTEST_EXPECT_EMPTY(name) EXPECT_EQ(none.name, nullptr) << "libusb_" #name;
    SGVISA_LIBUSB_FUNCTIONS(SGTEST_EXPECT_EMPTY)
#undef SGTEST_EXPECT_EMPTY
}

TEST(LibusbLibrary, NotLinkedButLoadedAtFirstNeed) {
    const std::string bin = SG_BIN_DIR;
    for (const std::string& path :
         {std::string("/proc/self/exe"), bin + "/sgdemo", bin + "/../lib/libsgvisa.so.1"}) {
        const auto needed = needed_libraries(path);
        ASSERT_TRUE(needed) << path << " cannot be read";
        EXPECT_FALSE(needed->empty()) << path << " names no library at all: not read";
        for (const std::string& library : *needed)
            EXPECT_EQ(library.find("libusb"), std::string::npos) << path << " needs " << library;
    }
    ASSERT_NE(sgvisa::libusb::libusb_api(), nullptr);
    EXPECT_TRUE(loaded("libusb-1.0.so.0"));
    EXPECT_EQ(sgvisa::libusb::libusb_api(), sgvisa::libusb::libusb_api()) << "loaded once";
}

}  // namespace
}  // namespace sgtest
