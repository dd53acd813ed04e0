// libtirpc's XDR routines as an oracle for ours, where it is installed:
// the bytes of a call each side encodes must be the same, and each side
// must decode the other's. Built only with SG_HAVE_TIRPC (tests/CMakeLists.txt).
#ifdef SG_HAVE_TIRPC

#include <gtest/gtest.h>
#include <rpc/rpc.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "proto/oncrpc.h"
#include "proto/vxi11.h"

namespace {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;
using rpc::Bytes;

// What libtirpc's routines write into a memory stream.
Bytes tirpc_encode(const std::function<bool(XDR*)>& write) {
    std::array<char, 512> buf{};
    XDR x;
    xdrmem_create(&x, buf.data(), buf.size(), XDR_ENCODE);
    const bool ok = write(&x);
    const unsigned n = xdr_getpos(&x);
    xdr_destroy(&x);
    EXPECT_TRUE(ok);
    return Bytes(buf.begin(), buf.begin() + n);
}

bool tirpc_call(XDR* x, std::uint32_t xid, std::uint32_t proc) {
    rpc_msg m{};
    m.rm_xid = xid;
    m.rm_direction = CALL;
    m.rm_call.cb_rpcvers = 2;
    m.rm_call.cb_prog = vxi::kCoreProgram;
    m.rm_call.cb_vers = vxi::kVersion;
    m.rm_call.cb_proc = proc;
    m.rm_call.cb_cred = _null_auth;
    m.rm_call.cb_verf = _null_auth;
    return xdr_callmsg(x, &m);
}

struct OracleCase {
    const char* name;
    std::function<Bytes()> ours;
    std::function<bool(XDR*)> theirs;
};

class Oracle : public testing::TestWithParam<OracleCase> {};

TEST_P(Oracle, EncodesTheSameBytes) {
    EXPECT_EQ(GetParam().ours(), tirpc_encode(GetParam().theirs));
}

char device[] = "inst0";
char data[] = "*IDN?\n";

INSTANTIATE_TEST_SUITE_P(
    Proto, Oracle,
    testing::Values(OracleCase{"create_link",
                               [] {
                                   Bytes out;
                                   rpc::XdrWriter w(out);
                                   encode(w, rpc::make_call(7, vxi::kCoreProgram, 1,
                                                            vxi::CREATE_LINK));
                                   encode(w, vxi::CreateLinkParms{-5, true, 250, "inst0"});
                                   return out;
                               },
                               [](XDR* x) {
                                   long id = -5;
                                   bool_t lock = 1;
                                   u_long timeout = 250;
                                   char* name = device;
                                   return tirpc_call(x, 7, vxi::CREATE_LINK) && xdr_long(x, &id) &&
                                          xdr_bool(x, &lock) && xdr_u_long(x, &timeout) &&
                                          xdr_string(x, &name, 255);
                               }},
                    OracleCase{
                        "device_write",
                        [] {
                            Bytes out;
                            rpc::XdrWriter w(out);
                            encode(w, rpc::make_call(8, vxi::kCoreProgram, 1, vxi::DEVICE_WRITE));
                            encode(w, vxi::DeviceWriteParms{
                                          1, 2000, 0, vxi::kFlagEnd,
                                          rpc::ByteView(reinterpret_cast<std::uint8_t*>(data), 6)});
                            return out;
                        },
                        [](XDR* x) {
                            long lid = 1, flags = vxi::kFlagEnd;
                            u_long io = 2000, lock = 0;
                            char* bytes = data;
                            u_int n = 6;
                            return tirpc_call(x, 8, vxi::DEVICE_WRITE) && xdr_long(x, &lid) &&
                                   xdr_u_long(x, &io) && xdr_u_long(x, &lock) &&
                                   xdr_long(x, &flags) && xdr_bytes(x, &bytes, &n, 1024);
                        }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Oracle, EachSideDecodesTheOthersReply) {
    // libtirpc's prog_mismatch reply, read by ours.
    const Bytes theirs = tirpc_encode([](XDR* x) {
        rpc_msg m{};
        m.rm_xid = 42;
        m.rm_direction = REPLY;
        m.rm_reply.rp_stat = MSG_ACCEPTED;
        m.acpted_rply.ar_verf = _null_auth;
        m.acpted_rply.ar_stat = PROG_MISMATCH;
        m.acpted_rply.ar_vers.low = 1;
        m.acpted_rply.ar_vers.high = 2;
        return xdr_replymsg(x, &m);
    });
    rpc::ReplyHeader h;
    ASSERT_TRUE(rpc::from_bytes(theirs, h));
    EXPECT_EQ(h.xid, 42u);
    EXPECT_EQ(h.accept, rpc::AcceptStat::prog_mismatch);
    EXPECT_EQ(h.high, 2u);

    // Ours, with a termChar above 127, read by libtirpc's char routine (a
    // signed char on this machine), and libtirpc's back by ours.
    const vxi::DeviceReadParms p{3, 100, 10, 0, vxi::kFlagTermCharSet, 0xFF};
    Bytes ours = rpc::to_bytes(p);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(ours.data()), static_cast<u_int>(ours.size()),
                  XDR_DECODE);
    long lid = 0, flags = 0;
    u_long size = 0, io = 0, lock = 0;
    char term = 0;
    ASSERT_TRUE(xdr_long(&x, &lid) && xdr_u_long(&x, &size) && xdr_u_long(&x, &io) &&
                xdr_u_long(&x, &lock) && xdr_long(&x, &flags) && xdr_char(&x, &term));
    xdr_destroy(&x);
    EXPECT_EQ(static_cast<unsigned char>(term), 0xFF);
    const Bytes back = tirpc_encode([&](XDR* w) {
        return xdr_long(w, &lid) && xdr_u_long(w, &size) && xdr_u_long(w, &io) &&
               xdr_u_long(w, &lock) && xdr_long(w, &flags) && xdr_char(w, &term);
    });
    vxi::DeviceReadParms q;
    ASSERT_TRUE(rpc::from_bytes(back, q));
    EXPECT_EQ(q.term_char, 0xFF);
    EXPECT_EQ(q.request_size, 100u);
}

}  // namespace

#endif  // SG_HAVE_TIRPC
