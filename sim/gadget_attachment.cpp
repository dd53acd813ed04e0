// Placeholder until the FunctionFS attachment exists.
#include "gadget_attachment.h"

#include <cstdio>

namespace sgsim {

int run_gadget(const std::string&, UsbtmcDevice&, volatile std::sig_atomic_t&, void (*)()) {
    std::fprintf(stderr, "sgsim: the USB gadget attachment is not available in this build\n");
    return 1;
}

}  // namespace sgsim
