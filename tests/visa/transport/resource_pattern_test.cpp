// Whether a search's pattern can match a LAN name, decided before anything
// is sent: never "no" for a pattern a TCPIP name matches, "no" for the
// USB-only ones a LAN discovery would only slow down.
#include <gtest/gtest.h>

#include <memory>

#include "transport/resource_pattern.h"

namespace sgtest {
namespace {

TEST(ResourcePattern, MayMatchPrefixDecidesWhetherLanNamesCanMatch) {
    struct Case {
        const char* expression;
        bool tcpip;
    };
    const char* lan_names[] = {"TCPIP0::10.99.0.2::inst0::INSTR", "TCPIP0::10.99.0.2::5025::SOCKET",
                               "TCPIP0::10.99.0.2::hislip0::INSTR"};
    for (const Case& c : {Case{"?*", true},
                          Case{"?*INSTR", true},
                          Case{"?*::INSTR", true},
                          Case{"TCPIP?*", true},
                          Case{"tcpip0::10.99.0.2::inst0::INSTR", true},
                          Case{"(USB|TCPIP)?*", true},
                          Case{"USB0::0x4D19?*|TCPIP0?*", true},
                          Case{"[TU]?*", true},
                          Case{"[a-z]CPIP?*SOCKET", true},
                          Case{"T+C*PIP?*", true},
                          Case{"\\TCPIP?*", true},
                          Case{"TCPIP", true},
                          Case{"USB?*INSTR", false},
                          Case{"USB?*", false},
                          Case{"GPIB?*", false},
                          Case{"(USB|GPIB)?*", false},
                          Case{"[^T]?*", false},
                          Case{"TC+X?*", false},
                          Case{"TCPI", false},
                          Case{"ASRL[0-9]*::INSTR", false}}) {
        std::unique_ptr<sgvisa::ResourcePattern> p;
        ASSERT_EQ(sgvisa::ResourcePattern::compile(c.expression, p), VI_SUCCESS) << c.expression;
        EXPECT_EQ(p->may_match_prefix("TCPIP"), c.tcpip) << c.expression;
        // Never "no" where a LAN name matches.
        for (const char* name : lan_names)
            EXPECT_TRUE(!p->matches(name) || p->may_match_prefix("TCPIP"))
                << c.expression << " " << name;
    }
}

}  // namespace
}  // namespace sgtest
