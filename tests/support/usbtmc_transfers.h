// USBTMC bulk transfers as a host writes them and reads them back, for tests
// that talk to the simulated device core, directly or over the local bus.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/usbtmc.h"

namespace simtest {

namespace tmc = sgproto::usbtmc;
using Bytes = std::vector<std::uint8_t>;

inline Bytes header(std::uint8_t msg_id, std::uint8_t tag, std::uint32_t size, std::uint8_t attr,
                    std::uint8_t term = 0) {
    Bytes b(tmc::kHeaderSize);
    tmc::BulkHeader h;
    h.msg_id = msg_id;
    h.tag = tag;
    h.transfer_size = size;
    h.attributes = attr;
    h.term_char = term;
    tmc::encode_header(h, std::span<std::uint8_t, tmc::kHeaderSize>(b.data(), tmc::kHeaderSize));
    return b;
}

// One DEV_DEP_MSG_OUT transfer carrying `data`, padded.
inline Bytes msg_out(std::uint8_t tag, std::string_view data, bool eom = true) {
    Bytes b = header(tmc::DEV_DEP_MSG_OUT, tag, static_cast<std::uint32_t>(data.size()),
                     eom ? tmc::kAttrEom : 0);
    b.resize(tmc::kHeaderSize + data.size() + tmc::padding_for(data.size()), 0);
    std::copy(data.begin(), data.end(), b.begin() + tmc::kHeaderSize);
    return b;
}

inline Bytes request_in(std::uint8_t tag, std::uint32_t size, bool term_enabled = false,
                        std::uint8_t term = '\n') {
    return header(tmc::REQUEST_DEV_DEP_MSG_IN, tag, size,
                  term_enabled ? tmc::kAttrTermCharEnabled : 0, term);
}

// One DEV_DEP_MSG_IN transfer taken apart.
struct InPiece {
    tmc::BulkHeader h;
    std::string data;
    std::size_t total = 0;

    bool eom() const { return (h.attributes & tmc::kAttrEom) != 0; }
    bool term_char_ended() const { return (h.attributes & tmc::kAttrTermCharEnded) != 0; }
};

// Checks the header and the zero padding of a DEV_DEP_MSG_IN transfer.
inline InPiece parse_in(const Bytes& t) {
    InPiece p;
    EXPECT_TRUE(tmc::decode_header(t, p.h));
    EXPECT_EQ(p.h.msg_id, tmc::DEV_DEP_MSG_IN);
    EXPECT_GE(t.size(), tmc::kHeaderSize + p.h.transfer_size);
    if (t.size() < tmc::kHeaderSize + p.h.transfer_size)
        return p;
    p.data.assign(t.begin() + tmc::kHeaderSize, t.begin() + tmc::kHeaderSize + p.h.transfer_size);
    p.total = t.size();
    for (std::size_t i = tmc::kHeaderSize + p.h.transfer_size; i < t.size(); ++i)
        EXPECT_EQ(t[i], 0) << "padding byte " << i;
    return p;
}

// One DEV_DEP_MSG_IN transfer as the host sees it, for comparing whole
// sequences: "tag 2 size 4 E- DATA (16)": its bTag, TransferSize, EOM (E)
// and TermChar (T) bits, the bytes it carries up to its zero padding
// (whatever TransferSize says), and its length.
inline std::string describe_in(const Bytes& t) {
    tmc::BulkHeader h;
    if (!tmc::decode_header(t, h) || h.msg_id != tmc::DEV_DEP_MSG_IN)
        return "not a DEV_DEP_MSG_IN (" + std::to_string(t.size()) + ")";
    std::size_t end = t.size();
    while (end > tmc::kHeaderSize && t[end - 1] == 0)
        --end;
    char head[64];
    std::snprintf(head, sizeof head, "tag %d size %u %s%s ", h.tag, h.transfer_size,
                  (h.attributes & tmc::kAttrEom) ? "E" : "-",
                  (h.attributes & tmc::kAttrTermCharEnded) ? "T" : "-");
    return head + std::string(t.begin() + tmc::kHeaderSize, t.begin() + static_cast<long>(end)) +
           " (" + std::to_string(t.size()) + ")";
}

}  // namespace simtest
