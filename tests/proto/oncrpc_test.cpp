// The LAN wire formats of proto/: every XDR message the VXI-11 programs,
// the portmapper and the RPC headers carry, against its bytes as the
// protocols lay them out, decoded back; every prefix of each refused, and
// the malformed inputs a hostile peer sends; record marking over every
// split of the stream.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "proto/oncrpc.h"
#include "proto/portmap.h"
#include "proto/rpc_record.h"
#include "proto/vxi11.h"

namespace {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;
using rpc::Bytes;
using rpc::ByteView;

// 32-bit big-endian words, as XDR lays every item out.
Bytes words(std::initializer_list<std::uint32_t> ws) {
    Bytes b;
    for (std::uint32_t w : ws)
        b.insert(b.end(), {std::uint8_t(w >> 24), std::uint8_t(w >> 16), std::uint8_t(w >> 8),
                           std::uint8_t(w)});
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::array<std::uint8_t, 5> kData = {'*', 'I', 'D', 'N', '?'};
const std::array<std::uint8_t, 3> kHandle = {7, 8, 9};

struct WireCase {
    std::string name;
    Bytes want;
    std::function<Bytes()> encode;
    // Decodes the bytes whole and encodes the value again.
    std::function<bool(ByteView, Bytes&)> reencode;
};

template <class T>
WireCase wire(std::string name, T v, Bytes want) {
    return {std::move(name), std::move(want), [v] { return rpc::to_bytes(v); },
            [](ByteView in, Bytes& out) {
                T back{};
                if (!rpc::from_bytes(in, back))
                    return false;
                out = rpc::to_bytes(back);
                return true;
            }};
}

std::vector<WireCase> wire_cases() {
    rpc::ReplyHeader mismatch = rpc::make_reply(9, rpc::AcceptStat::prog_mismatch);
    mismatch.low = 1;
    mismatch.high = 3;
    rpc::ReplyHeader auth_denied;
    auth_denied.xid = 10;
    auth_denied.stat = rpc::ReplyStat::denied;
    auth_denied.reject = rpc::RejectStat::auth_error;
    auth_denied.auth = rpc::AuthStat::tooweak;
    return {
        wire("call header", rpc::make_call(0x11223344, vxi::kCoreProgram, 1, vxi::CREATE_LINK),
             words({0x11223344, 0, 2, 0x0607AF, 1, 10, 0, 0, 0, 0})),
        wire("accepted reply", rpc::make_reply(5), words({5, 1, 0, 0, 0, 0})),
        wire("prog_mismatch reply", mismatch, words({9, 1, 0, 0, 0, 2, 1, 3})),
        wire("auth_error reply", auth_denied, words({10, 1, 1, 1, 5})),
        wire("getport", rpc::Mapping{vxi::kCoreProgram, 1, rpc::kIpProtoTcp, 0},
             words({0x0607AF, 1, 6, 0})),
        wire("getport result", rpc::PortResult{1024}, words({1024})),
        wire("create_link", vxi::CreateLinkParms{-2, true, 500, "inst0"},
             cat(words({0xFFFFFFFE, 1, 500, 5}), {'i', 'n', 's', 't', '0', 0, 0, 0})),
        wire("create_link result", vxi::CreateLinkResp{0, 3, 4002, 1024},
             words({0, 3, 4002, 1024})),
        wire("device_write", vxi::DeviceWriteParms{3, 1000, 0, vxi::kFlagEnd, kData},
             cat(words({3, 1000, 0, 8, 5}), {'*', 'I', 'D', 'N', '?', 0, 0, 0})),
        wire("device_write result", vxi::DeviceWriteResp{0, 5}, words({0, 5})),
        wire("device_read", vxi::DeviceReadParms{3, 4096, 1000, 0, vxi::kFlagTermCharSet, '\n'},
             words({3, 4096, 1000, 0, 128, 10})),
        wire("device_read result",
             vxi::DeviceReadResp{0, vxi::kReasonEnd | vxi::kReasonChr, ByteView(kData).first(4)},
             cat(words({0, 6, 4}), {'*', 'I', 'D', 'N'})),
        wire("device_readstb result", vxi::DeviceReadStbResp{0, 0x50}, words({0, 0x50})),
        wire("generic", vxi::DeviceGenericParms{3, vxi::kFlagWaitLock, 200, 1000},
             words({3, 1, 200, 1000})),
        wire("device_lock", vxi::DeviceLockParms{3, vxi::kFlagWaitLock, 200}, words({3, 1, 200})),
        wire("device_enable_srq", vxi::DeviceEnableSrqParms{3, true, kHandle},
             cat(words({3, 1, 3}), {7, 8, 9, 0})),
        wire("create_intr_chan", vxi::DeviceRemoteFunc{0x7F000001, 40000},
             words({0x7F000001, 40000, 0x0607B1, 1, 0})),
        wire("device_intr_srq", vxi::DeviceSrqParms{ByteView()}, words({0})),
        wire("destroy_link", vxi::DeviceLink{3}, words({3})),
        wire("error result", vxi::DeviceErrorResp{vxi::ERR_LOCKED_BY_ANOTHER_LINK}, words({11})),
    };
}

class Wire : public testing::TestWithParam<WireCase> {};

TEST_P(Wire, EncodesDecodesAndRefusesEveryTruncation) {
    const WireCase& c = GetParam();
    EXPECT_EQ(c.encode(), c.want);
    Bytes again;
    ASSERT_TRUE(c.reencode(c.want, again));
    EXPECT_EQ(again, c.want);
    for (std::size_t n = 0; n < c.want.size(); ++n)
        EXPECT_FALSE(c.reencode(ByteView(c.want).first(n), again)) << n << " bytes";
    EXPECT_FALSE(c.reencode(cat(c.want, words({0})), again)) << "a word left over";
}

INSTANTIATE_TEST_SUITE_P(Proto, Wire, testing::ValuesIn(wire_cases()), [](const auto& p) {
    std::string n = p.param.name;
    for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
});

// Inputs that must not decode, each with the decoder that meets it.
struct MalformedCase {
    const char* name;
    Bytes in;
    std::function<bool(ByteView)> decodes;
};

template <class T>
std::function<bool(ByteView)> as() {
    return [](ByteView in) {
        T v{};
        return rpc::from_bytes(in, v);
    };
}

class Malformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(Malformed, IsRefused) {
    EXPECT_FALSE(GetParam().decodes(GetParam().in));
}

INSTANTIATE_TEST_SUITE_P(
    Proto, Malformed,
    testing::Values(
        MalformedCase{"giant_length", words({0, 0, 0xFFFFFFFF}), as<vxi::DeviceReadResp>()},
        MalformedCase{"length_past_end", cat(words({0, 0, 9}), Bytes(8, 'x')),
                      as<vxi::DeviceReadResp>()},
        MalformedCase{"nonzero_padding", cat(words({0, 4, 1}), {'x', 0, 1, 0}),
                      as<vxi::DeviceReadResp>()},
        MalformedCase{"padding_missing", cat(words({0, 4, 1}), {'x'}), as<vxi::DeviceReadResp>()},
        MalformedCase{"bool_two", cat(words({0, 2, 500, 1}), {'x', 0, 0, 0}),
                      as<vxi::CreateLinkParms>()},
        MalformedCase{"device_name_too_long", cat(words({0, 0, 0, 256}), Bytes(256, 'i')),
                      as<vxi::CreateLinkParms>()},
        MalformedCase{"srq_handle_over_40", cat(words({3, 1, 44}), Bytes(44, 1)),
                      as<vxi::DeviceEnableSrqParms>()},
        MalformedCase{"abort_port_over_16_bits", words({0, 1, 0x10000, 1024}),
                      as<vxi::CreateLinkResp>()},
        MalformedCase{"prog_family_two", words({1, 2, 3, 1, 2}), as<vxi::DeviceRemoteFunc>()},
        MalformedCase{"port_result_over_16_bits", words({0x10000}), as<rpc::PortResult>()},
        MalformedCase{"accept_stat_six", words({5, 1, 0, 0, 0, 6}), as<rpc::ReplyHeader>()},
        MalformedCase{"reply_stat_two", words({5, 1, 2, 0}), as<rpc::ReplyHeader>()},
        MalformedCase{"auth_stat_unknown", words({5, 1, 1, 1, 15}), as<rpc::ReplyHeader>()},
        MalformedCase{"call_as_reply", words({5, 0, 2, 1, 1, 1, 0, 0, 0, 0}),
                      as<rpc::ReplyHeader>()},
        MalformedCase{"reply_as_call", words({5, 1, 0, 0, 0, 0}), as<rpc::CallHeader>()},
        MalformedCase{"auth_body_over_400", cat(words({5, 0, 2, 1, 1, 1, 1, 404}), Bytes(404, 0)),
                      as<rpc::CallHeader>()}),
    [](const auto& p) { return std::string(p.param.name); });

// A call record split in two fragments, then the start of the next record:
// fed in pieces of every size, the reader gives the call whole and takes
// nothing of the next record.
class RecordSplit : public testing::TestWithParam<std::size_t> {};

TEST_P(RecordSplit, ReassemblesAndStopsAtTheRecordsEnd) {
    const Bytes call = cat(rpc::to_bytes(rpc::make_call(1, 100000, 2, 3)),
                           rpc::to_bytes(rpc::Mapping{vxi::kCoreProgram, 1}));
    const std::size_t cut = 10;  // inside a word: fragments need not align
    Bytes stream = words({std::uint32_t(cut)});
    stream.insert(stream.end(), call.begin(), call.begin() + cut);
    stream = cat(stream, words({rpc::kLastFragment | std::uint32_t(call.size() - cut)}));
    stream.insert(stream.end(), call.begin() + cut, call.end());
    const std::size_t record_end = stream.size();
    stream = cat(stream, words({rpc::kLastFragment | 4, 77}));

    rpc::RecordReader reader(call.size());
    std::size_t pos = 0;
    auto status = rpc::RecordReader::Status::need_more;
    while (status == rpc::RecordReader::Status::need_more && pos < stream.size()) {
        const std::size_t n = std::min(GetParam(), stream.size() - pos);
        std::size_t taken = 0;
        status = reader.feed(ByteView(stream).subspan(pos, n), taken);
        ASSERT_LE(taken, n);
        pos += taken;
    }
    ASSERT_EQ(status, rpc::RecordReader::Status::record);
    EXPECT_EQ(pos, record_end);
    EXPECT_EQ(Bytes(reader.record().begin(), reader.record().end()), call);
    EXPECT_EQ(reader.wanted(), 0u);

    reader.next();
    std::size_t taken = 0;
    EXPECT_EQ(reader.feed(ByteView(stream).subspan(pos), taken), rpc::RecordReader::Status::record);
    EXPECT_EQ(Bytes(reader.record().begin(), reader.record().end()), words({77}));
}

// The same stream received as a client receives a long reply: the
// fragments' bytes straight into the reader's room, in pieces of every
// size, the headers fed. The record is the same, no byte of the next record
// is taken, and a shorter record after it is not mixed with the longer one.
TEST_P(RecordSplit, ReceivesIntoTheRoomAndStopsAtTheRecordsEnd) {
    const Bytes call(1000, 0x5A);
    Bytes stream = cat(words({300}), Bytes(call.begin(), call.begin() + 300));
    stream = cat(stream, words({rpc::kLastFragment | 700}));
    stream.insert(stream.end(), call.begin() + 300, call.end());
    const std::size_t record_end = stream.size();
    stream = cat(stream, words({rpc::kLastFragment | 4, 77}));

    rpc::RecordReader reader(call.size());
    std::size_t pos = 0;
    auto status = rpc::RecordReader::Status::need_more;
    while (status == rpc::RecordReader::Status::need_more && pos < stream.size()) {
        const std::size_t n = std::min(GetParam(), stream.size() - pos);
        const std::span<std::uint8_t> room = reader.fragment_room(n);
        if (room.empty()) {
            std::size_t taken = 0;
            status = reader.feed(ByteView(stream).subspan(pos, n), taken);
            pos += taken;
            continue;
        }
        ASSERT_LE(room.size(), n);
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), room.size(), room.begin());
        pos += room.size();
        status = reader.fill(room.size());
    }
    ASSERT_EQ(status, rpc::RecordReader::Status::record);
    EXPECT_EQ(pos, record_end);
    EXPECT_EQ(Bytes(reader.record().begin(), reader.record().end()), call);
    EXPECT_TRUE(reader.fragment_room(100).empty());

    reader.next();
    std::size_t taken = 0;
    EXPECT_EQ(reader.feed(ByteView(stream).subspan(pos), taken), rpc::RecordReader::Status::record);
    EXPECT_EQ(Bytes(reader.record().begin(), reader.record().end()), words({77}));
}

INSTANTIATE_TEST_SUITE_P(Proto, RecordSplit, testing::Values(1, 2, 3, 4, 5, 7, 13, 1000));

TEST(RecordReader, RefusesARecordPastItsMaximumFromTheHeader) {
    // The second fragment's header takes the record one byte past 16: the
    // reader says so without waiting for (or keeping) its bytes.
    const Bytes stream = cat(cat(words({8}), Bytes(8, 1)), words({rpc::kLastFragment | 9}));
    rpc::RecordReader reader(16);
    std::size_t taken = 0;
    EXPECT_EQ(reader.feed(stream, taken), rpc::RecordReader::Status::too_large);
    EXPECT_EQ(reader.wanted(), 0u);
    reader.next();
    taken = 0;
    const Bytes giant = words({0xFFFFFFFF});
    EXPECT_EQ(reader.feed(giant, taken), rpc::RecordReader::Status::too_large);
    EXPECT_EQ(taken, 4u);

    // One that fits exactly, and the header our side writes for it.
    Bytes out;
    const std::size_t start = rpc::begin_record(out);
    out.resize(out.size() + 16, 2);
    ASSERT_TRUE(rpc::end_record(out, start));
    reader.next();
    taken = 0;
    EXPECT_EQ(reader.feed(out, taken), rpc::RecordReader::Status::record);
    EXPECT_EQ(reader.record().size(), 16u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), words({rpc::kLastFragment | 16}));
}

}  // namespace
