// sgvisa --version: the version the library itself gives, so that the
// program, the library it carries and the attribute a C program reads never
// disagree.
#include <cstdio>

#include "commands.h"
#include "visa.h"

namespace sgvisa_tool {
namespace {

// A VISA version attribute's value (major in bits 20-31, minor in 8-19,
// sub-minor in 0-7) as "M.m.s".
std::string version_text(ViUInt32 v) {
    return std::to_string(v >> 20) + "." + std::to_string((v >> 8) & 0xFFF) + "." +
           std::to_string(v & 0xFF);
}

}  // namespace

int run_version(std::FILE* out, std::FILE* err) {
    ViSession rm = VI_NULL;
    ViUInt32 impl = 0;
    ViUInt32 spec = 0;
    if (viOpenDefaultRM(&rm) < VI_SUCCESS ||
        viGetAttribute(rm, VI_ATTR_RSRC_IMPL_VERSION, &impl) < VI_SUCCESS ||
        viGetAttribute(rm, VI_ATTR_RSRC_SPEC_VERSION, &spec) < VI_SUCCESS) {
        std::fputs("sgvisa: the VISA library does not give its version\n", err);
        viClose(rm);
        return 1;
    }
    viClose(rm);
    std::fprintf(out, "sgvisa %s (VISA specification %s)\n", version_text(impl).c_str(),
                 version_text(spec).c_str());
    return 0;
}

}  // namespace sgvisa_tool
