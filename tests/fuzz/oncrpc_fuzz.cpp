// Fuzz target: what a VXI-11 peer or a portmapper may send, on any bytes.
// Input: byte 0 picks the largest record (64 << (b & 7) bytes), byte 1 the
// size of the pieces the stream arrives in (1 + b), the rest is the stream.
// Each record the reader gives is decoded as a call (then its arguments) or
// a reply (then every result type), and every message as each VXI-11 and
// portmapper type. Never a read past the input or a record past its
// maximum; every value that decodes encodes back to as many bytes as it
// took, and those bytes decode to a value that encodes the same again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "proto/oncrpc.h"
#include "proto/portmap.h"
#include "proto/rpc_record.h"
#include "proto/vxi11.h"

namespace {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;

void check(bool ok) {
    if (!ok)
        std::abort();
}

template <class T>
void round_trip(rpc::ByteView in) {
    rpc::XdrReader r(in);
    T v{};
    if (!decode(r, v))
        return;
    check(r.ok());
    const rpc::Bytes once = rpc::to_bytes(v);
    check(once.size() == in.size() - r.remaining());
    T again{};
    check(rpc::from_bytes(once, again));
    check(rpc::to_bytes(again) == once);
}

template <class... T>
void every_type(rpc::ByteView in) {
    (round_trip<T>(in), ...);
}

void bodies(rpc::ByteView in) {
    every_type<vxi::DeviceLink, vxi::DeviceErrorResp, vxi::CreateLinkParms, vxi::CreateLinkResp,
               vxi::DeviceWriteParms, vxi::DeviceWriteResp, vxi::DeviceReadParms,
               vxi::DeviceReadResp, vxi::DeviceReadStbResp, vxi::DeviceGenericParms,
               vxi::DeviceLockParms, vxi::DeviceEnableSrqParms, vxi::DeviceRemoteFunc,
               vxi::DeviceSrqParms, rpc::Mapping, rpc::PortResult>(in);
}

void message(rpc::ByteView m) {
    every_type<rpc::CallHeader, rpc::ReplyHeader>(m);
    rpc::XdrReader call(m);
    rpc::CallHeader c;
    if (decode(call, c))
        bodies(call.rest());
    rpc::XdrReader reply(m);
    rpc::ReplyHeader h;
    if (decode(reply, h)) {
        check(*rpc::name(h.accept) != '?' && *rpc::name(h.reject) != '?' &&
              *rpc::name(h.auth) != '?');
        bodies(reply.rest());
    }
    std::uint32_t xid = 0;
    check(rpc::peek_xid(m, xid) == (m.size() >= 4));
    bodies(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t max_record = std::size_t{64} << (data[0] & 7);
    const std::size_t piece = 1 + std::size_t{data[1]};
    const rpc::ByteView stream(data + 2, size - 2);
    rpc::RecordReader reader(max_record);
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t n = std::min(piece, stream.size() - pos);
        std::size_t taken = 0;
        const auto status = reader.feed(stream.subspan(pos, n), taken);
        check(taken <= n);
        pos += taken;
        if (status == rpc::RecordReader::Status::too_large)
            break;  // the connection is dropped
        if (status == rpc::RecordReader::Status::record) {
            check(reader.record().size() <= max_record && reader.wanted() == 0);
            message(reader.record());
            reader.next();
        } else {
            check(taken == n && reader.wanted() > 0 && reader.partial().size() <= max_record);
        }
    }
    return 0;
}
