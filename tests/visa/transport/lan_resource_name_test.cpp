// TCPIP resource names: the grammar's forms and defaults, IPv6 literals taken
// before the split on "::", secure forms marked, and what is not a name.
#include <gtest/gtest.h>

#include <string>

#include "transport/resource_name.h"
#include "transport/resource_syntax.h"

namespace {

struct Row {
    const char* text;
    const char* canonical;  // null: not a valid name
    const char* host;
    sgvisa::LanProtocol protocol;
    bool secure;
};

using P = sgvisa::LanProtocol;

const Row kRows[] = {
    {"TCPIP::10.0.0.5::INSTR", "TCPIP0::10.0.0.5::inst0::INSTR", "10.0.0.5", P::unspecified, false},
    {"TCPIP::10.0.0.5", "TCPIP0::10.0.0.5::inst0::INSTR", "10.0.0.5", P::unspecified, false},
    {"tcpip3::gen.lab::inst1::instr", "TCPIP3::gen.lab::inst1::INSTR", "gen.lab", P::vxi11, false},
    {"TCPIP::h::gpib0,12,5::INSTR", "TCPIP0::h::gpib0,12,5::INSTR", "h", P::vxi11, false},
    {"TCPIP::h::vxi2", "TCPIP0::h::vxi2::INSTR", "h", P::vxi11, false},
    {"TCPIP::h::hislip0,4881::INSTR", "TCPIP0::h::hislip0,4881::INSTR", "h", P::hislip, false},
    {"TCPIP::[::1]::hislip0::INSTR", "TCPIP0::[::1]::hislip0::INSTR", "::1", P::hislip, false},
    {"TCPIP::[fe80::1%eth0]::INSTR", "TCPIP0::[fe80::1%eth0]::inst0::INSTR", "fe80::1%eth0",
     P::unspecified, false},
    {"TCPIP::@h::hislip0::INSTR", "TCPIP0::@h::hislip0::INSTR", "h", P::hislip, true},
    {"TCPIP::user-1@[::1]::INSTR", "TCPIP0::user-1@[::1]::inst0::INSTR", "::1", P::unspecified,
     true},
    {"TCPIP::h::gpib0,32::INSTR", nullptr, "", P::unspecified, false},  // address past 31
    {"TCPIP::h::hislip::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIP::h::inst0::extra::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIP::[::1::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIP::[::1]x::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIP::::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIP::h h::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIPx::h::INSTR", nullptr, "", P::unspecified, false},
    {"TCPIP::h::5025::SOCKET", nullptr, "", P::unspecified, false},  // a socket, not an INSTR
};

TEST(LanResourceName, InstrFormsParseToTheirCanonicalNames) {
    for (const Row& row : kRows) {
        sgvisa::TcpipInstrName name;
        const ViStatus st = sgvisa::parse_tcpip_instr_name(row.text, name);
        if (row.canonical == nullptr) {
            EXPECT_EQ(st, VI_ERROR_INV_RSRC_NAME) << row.text;
            continue;
        }
        ASSERT_EQ(st, VI_SUCCESS) << row.text;
        EXPECT_EQ(sgvisa::canonical_name(name), row.canonical) << row.text;
        EXPECT_EQ(name.host, row.host) << row.text;
        EXPECT_EQ(name.protocol, row.protocol) << row.text;
        EXPECT_EQ(name.secure, row.secure) << row.text;
    }
}

TEST(LanResourceName, SocketFormsAndTheSyntaxViParseRsrcGives) {
    const struct {
        const char* text;
        const char* canonical;  // null: invalid
        unsigned port;
    } rows[] = {
        {"TCPIP::[::1]::5025::SOCKET", "TCPIP0::[::1]::5025::SOCKET", 5025},
        {"tcpip1::127.0.0.1::9221::socket", "TCPIP1::127.0.0.1::9221::SOCKET", 9221},
        {"TCPIP::h::0::SOCKET", nullptr, 0},
        {"TCPIP::h::65536::SOCKET", nullptr, 0},
        {"TCPIP::h::SOCKET", nullptr, 0},
    };
    for (const auto& row : rows) {
        sgvisa::ResourceName name;
        sgvisa::ResourceSyntax syntax;
        if (row.canonical == nullptr) {
            sgvisa::TcpipSocketName socket;
            EXPECT_EQ(sgvisa::parse_tcpip_socket_name(row.text, socket), VI_ERROR_INV_RSRC_NAME)
                << row.text;
            continue;
        }
        ASSERT_EQ(sgvisa::parse_resource_name(row.text, name), VI_SUCCESS) << row.text;
        const auto* socket = std::get_if<sgvisa::TcpipSocketName>(&name);
        ASSERT_NE(socket, nullptr) << row.text;
        EXPECT_EQ(socket->port, row.port);
        EXPECT_EQ(sgvisa::canonical_name(name), row.canonical);
        ASSERT_EQ(sgvisa::parse_resource_syntax(row.text, syntax), VI_SUCCESS) << row.text;
        EXPECT_EQ(syntax.interface_type, VI_INTF_TCPIP);
        EXPECT_EQ(syntax.resource_class, "SOCKET");
        EXPECT_EQ(syntax.canonical, row.canonical);
    }
}

}  // namespace
