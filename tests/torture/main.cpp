// sg_torture: the torture test of the VISA library (see supervisor.h and
// docs/testing.md, "The torture test"). It uses the library only through its C
// interface, loaded as libsgvisa.so.1, as PyVISA and C programs do.
#include <cstdio>
#include <string>

#include "options.h"
#include "supervisor.h"

int main(int argc, char** argv) {
    torture::Options options;
    std::string error;
    bool help = false;
    if (!torture::parse_options(argc, argv, options, error, help)) {
        std::fputs(error.c_str(), help ? stdout : stderr);
        if (!help)
            std::fputs(("\n" + torture::usage()).c_str(), stderr);
        return help ? 0 : 2;
    }
    return torture::run_supervisor(options);
}
