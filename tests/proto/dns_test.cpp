// DNS messages: a browse's answer round-trips, compression pointers are
// followed, and what could loop or overrun is refused.
#include "proto/dns.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace sgtest {
namespace {

namespace dns = sgproto::dns;

dns::Record record(std::string name, std::uint16_t type) {
    dns::Record r;
    r.name = std::move(name);
    r.type = type;
    return r;
}

TEST(Dns, ResponseRoundTripsWithEscapedInstanceNames) {
    dns::Message m;
    m.flags = dns::kResponse;
    m.questions.push_back({"_vxi-11._tcp.local", dns::PTR, dns::kClassIn, true});
    dns::Record ptr = record("_vxi-11._tcp.local", dns::PTR);
    ptr.target = dns::escape_label("bench 1.5 V") + "._vxi-11._tcp.local";
    dns::Record srv = record(ptr.target, dns::SRV);
    srv.cache_flush = true;
    srv.target = "host.local";
    srv.port = 111;
    dns::Record a = record("host.local", dns::A);
    a.address = {10, 99, 0, 2};
    dns::Record txt = record(ptr.target, dns::TXT);
    txt.text = {"txtvers=1", ""};
    m.answers = {ptr};
    m.additionals = {srv, a, txt};
    dns::Bytes bytes;
    ASSERT_TRUE(dns::encode(m, bytes));
    dns::Message back;
    ASSERT_TRUE(dns::decode(bytes, back));
    EXPECT_TRUE(back.questions[0].unicast_response);
    EXPECT_EQ(dns::first_label(back.answers[0].target), "bench 1.5 V");
    EXPECT_TRUE(dns::same_name(back.additionals[0].name, ptr.target));
    EXPECT_TRUE(back.additionals[0].cache_flush);
    EXPECT_EQ(back.additionals[0].port, 111);
    EXPECT_EQ(back.additionals[1].address, a.address);
    EXPECT_EQ(back.additionals[2].text, txt.text);
}

TEST(Dns, DecodeFollowsBackwardPointersAndRefusesTheRest) {
    // Header: one question, one answer.
    const std::vector<std::uint8_t> head = {0, 0, 0x84, 0, 0, 1, 0, 1, 0, 0, 0, 0};
    // Question "a.local" PTR IN at offset 12; the answer's name points to it.
    const std::vector<std::uint8_t> question = {1, 'a', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 12, 0, 1};
    auto message = [&](std::vector<std::uint8_t> answer) {
        std::vector<std::uint8_t> m = head;
        m.insert(m.end(), question.begin(), question.end());
        m.insert(m.end(), answer.begin(), answer.end());
        return m;
    };
    const std::vector<std::uint8_t> a_data = {0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 10, 0, 0, 1};
    auto with_name = [&](std::vector<std::uint8_t> name) {
        name.insert(name.end(), a_data.begin(), a_data.end());
        return message(name);
    };
    dns::Message m;
    ASSERT_TRUE(dns::decode(with_name({0xC0, 12}), m));
    EXPECT_EQ(m.answers[0].name, "a.local");
    ASSERT_TRUE(dns::decode(with_name({1, 'b', 0xC0, 12}), m));
    EXPECT_EQ(m.answers[0].name, "b.a.local");

    std::vector<std::uint8_t> long_name;
    for (int i = 0; i < 5; ++i) {
        long_name.push_back(63);
        long_name.insert(long_name.end(), 63, 'x');
    }
    long_name.push_back(0);
    const std::vector<std::uint8_t> refused[] = {
        with_name({0xC0, 25}),          // a pointer to itself: a loop
        with_name({0xC0, 200}),         // forward, past the end
        with_name({1, 'b', 0xC0, 27}),  // to its own label: a loop
        with_name({0x40, 'b', 0}),      // a reserved label type
        with_name(long_name),           // over 255 bytes
        message({0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 5, 10, 0, 0, 1, 7}),  // A of 5 bytes
        message({0xC0, 12, 0, 16, 0, 1, 0, 0, 0, 9, 0, 3, 5, 'a', 'b'}),    // TXT past its length
        message({0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 10, 0}),           // truncated data
        std::vector<std::uint8_t>(head.begin(), head.begin() + 11),         // truncated header
    };
    for (std::size_t i = 0; i < std::size(refused); ++i)
        EXPECT_FALSE(dns::decode(refused[i], m)) << "case " << i;
}

}  // namespace
}  // namespace sgtest
