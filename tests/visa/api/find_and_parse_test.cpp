// Finding resources (viFindRsrc/viFindNext with VISA's expressions) and
// naming them (viParseRsrc/viParseRsrcEx), over in-memory instruments of
// more than one vendor.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "visa_fixture.h"

namespace sgtest {
namespace {

class FindAndParse : public VisaTest {};

std::set<std::string> find_all(ViSession rm, const char* expr, ViStatus& status) {
    std::set<std::string> names;
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    char desc[VI_FIND_BUFLEN];
    status = viFindRsrc(rm, expr, &list, &count, desc);
    if (status != VI_SUCCESS)
        return names;
    names.insert(desc);
    for (ViUInt32 i = 1; i < count; ++i) {
        EXPECT_EQ(viFindNext(list, desc), VI_SUCCESS);
        names.insert(desc);
    }
    EXPECT_EQ(viFindNext(list, desc), VI_ERROR_RSRC_NFOUND);
    EXPECT_STREQ(desc, "");
    EXPECT_EQ(viClose(list), VI_SUCCESS);
    EXPECT_EQ(viFindNext(list, desc), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(count, names.size());
    return names;
}

TEST_F(FindAndParse, ListsEveryVendorsInstrumentsInCanonicalFormAndMatchesExpressions) {
    MemoryInstrument other(0x0aad, 0x01ff, "ab.c-9");  // not our generator's IDs
    ViStatus st = VI_SUCCESS;
    const auto all = find_all(rm(), "?*::INSTR", st);
    ASSERT_EQ(st, VI_SUCCESS);
    EXPECT_EQ(all, (std::set<std::string>{"USB0::0x4D19::0x0040::SN1234::0::INSTR",
                                          "USB0::0x0AAD::0x01FF::ab.c-9::0::INSTR"}));

    struct Case {
        const char* expr;
        std::size_t matches;
    };
    for (const Case& c :
         {Case{"?*", 2}, Case{"usb0::0x4d19?*", 1}, Case{"USB[0-9]::0x0AAD?*", 1},
          Case{"USB0::0x[^4]?*", 1}, Case{"?*SN12(34|99)?*", 1}, Case{"?*::(0x4D19|0x0AAD)::?*", 2},
          Case{"USB0+::?*", 2}, Case{"?*::RAW", 0}, Case{"GPIB?*", 0}}) {
        const auto found = find_all(rm(), c.expr, st);
        EXPECT_EQ(found.size(), c.matches) << c.expr;
        EXPECT_EQ(st, c.matches ? VI_SUCCESS : VI_ERROR_RSRC_NFOUND) << c.expr;
    }
    ViFindList list = 99;
    char desc[VI_FIND_BUFLEN];
    EXPECT_EQ(viFindRsrc(rm(), "USB[0", &list, nullptr, desc), VI_ERROR_INV_EXPR);
    EXPECT_EQ(viFindRsrc(rm(), "*", &list, nullptr, desc), VI_ERROR_INV_EXPR);
    EXPECT_EQ(viFindRsrc(rm(), "?*::INSTR{VI_ATTR_MANF_ID==0x4D19}", &list, nullptr, desc),
              VI_ERROR_NSUP_OPER);
    EXPECT_EQ(list, static_cast<ViFindList>(VI_NULL));
    // A found name opens.
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), "USB0::0x0AAD::0x01FF::ab.c-9::0::INSTR", VI_NULL, 0, &vi), VI_SUCCESS);
}

TEST_F(FindAndParse, ClosingTheResourceManagerClosesItsFindLists) {
    ViFindList list = VI_NULL;
    char desc[VI_FIND_BUFLEN];
    ASSERT_EQ(viFindRsrc(rm(), "?*", &list, nullptr, desc), VI_SUCCESS);
    ViSession other_rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&other_rm), VI_SUCCESS);
    EXPECT_EQ(viFindRsrc(other_rm, "NOTHING", &list, nullptr, desc), VI_ERROR_RSRC_NFOUND);
    ASSERT_EQ(viClose(other_rm), VI_SUCCESS);
    ViFindList mine = VI_NULL;
    ASSERT_EQ(viFindRsrc(rm(), "?*", &mine, nullptr, desc), VI_SUCCESS);
    ASSERT_EQ(viClose(rm()), VI_SUCCESS);
    EXPECT_EQ(viFindNext(mine, desc), VI_ERROR_INV_OBJECT);
}

TEST_F(FindAndParse, EverySpellingParsesToTheCanonicalName) {
    for (const char* spelling :
         {"USB0::0x4D19::0x0040::SN1234::0::INSTR", "usb::0x4d19::0x0040::SN1234",
          "USB0::19737::64::SN1234::INSTR", "Usb0::0X4d19::0x40::SN1234::0"}) {
        ViUInt16 type = 0;
        ViUInt16 board = 99;
        char cls[VI_FIND_BUFLEN];
        char expanded[VI_FIND_BUFLEN];
        char alias[VI_FIND_BUFLEN] = "stale";
        ASSERT_EQ(viParseRsrcEx(rm(), spelling, &type, &board, cls, expanded, alias), VI_SUCCESS)
            << spelling;
        EXPECT_EQ(type, VI_INTF_USB);
        EXPECT_EQ(board, 0);
        EXPECT_STREQ(cls, "INSTR");
        EXPECT_STREQ(expanded, "USB0::0x4D19::0x0040::SN1234::0::INSTR") << spelling;
        EXPECT_STREQ(alias, "");
        EXPECT_EQ(viParseRsrc(rm(), spelling, &type, &board), VI_SUCCESS);
    }
    ViUInt16 type = 0;
    ViUInt16 board = 0;
    EXPECT_EQ(viParseRsrc(rm(), "USB3::0x1::0x2::X::INSTR", &type, &board), VI_SUCCESS);
    EXPECT_EQ(board, 3);
    EXPECT_EQ(viParseRsrc(rm(), "USB0::0x4D19", &type, &board), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(viParseRsrc(rm(), "USB0::0x4D19::0x0040", &type, &board), VI_ERROR_INV_RSRC_NAME);
    // Other interface types parse in canonical form; those no link serves
    // are refused as not served (not as "not found": nobody should go and
    // check the cables). The TCPIP ones are served, and not opened here:
    // the test talks to no network.
    struct Other {
        const char* name;
        ViUInt16 type;
        const char* cls;
        const char* canonical;
        bool served = false;
    };
    for (const Other& o : {Other{"TCPIP::192.168.0.5::INSTR", VI_INTF_TCPIP, "INSTR",
                                 "TCPIP0::192.168.0.5::inst0::INSTR", true},
                           Other{"tcpip1::host::5025::socket", VI_INTF_TCPIP, "SOCKET",
                                 "TCPIP1::host::5025::SOCKET", true},
                           Other{"GPIB::7", VI_INTF_GPIB, "INSTR", "GPIB0::7::INSTR"},
                           Other{"ASRL2", VI_INTF_ASRL, "INSTR", "ASRL2::INSTR"},
                           Other{"USB0::0x4d19::0x0040::SN::RAW", VI_INTF_USB, "RAW",
                                 "USB0::0x4D19::0x0040::SN::0::RAW"}}) {
        char cls[VI_FIND_BUFLEN];
        char expanded[VI_FIND_BUFLEN];
        ASSERT_EQ(viParseRsrcEx(rm(), o.name, &type, &board, cls, expanded, VI_NULL), VI_SUCCESS)
            << o.name;
        EXPECT_EQ(type, o.type) << o.name;
        EXPECT_STREQ(cls, o.cls);
        EXPECT_STREQ(expanded, o.canonical);
        ViSession vi = 7;
        if (!o.served) {
            EXPECT_EQ(viOpen(rm(), o.name, VI_NULL, 0, &vi), VI_ERROR_NSUP_OPER) << o.name;
        }
    }
    EXPECT_EQ(viParseRsrc(rm(), "TCPIP::host::notaport::SOCKET", &type, &board),
              VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(viParseRsrc(rm(), "GPIB::31", &type, &board), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(viParseRsrc(12345, "USB0::0x4D19::0x0040::SN", &type, &board), VI_ERROR_INV_OBJECT);
}

}  // namespace
}  // namespace sgtest
