// Fuzz target: what an mDNS responder or browser may send, on any bytes.
// Input: one datagram. Never a read past it and never an endless walk of
// compression pointers; a message that decodes encodes (names whole), and
// those bytes decode to a message that encodes to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "proto/dns.h"

namespace {

namespace dns = sgproto::dns;

void check(bool ok) {
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dns::Message m;
    if (!dns::decode({data, size}, m))
        return 0;
    dns::Bytes once;
    // A decoded name is at most 255 bytes, its labels at most 63: it encodes.
    // Only TXT strings, data and counts are bounded by the encoder alone.
    if (!dns::encode(m, once))
        return 0;
    dns::Message again;
    check(dns::decode(once, again));
    dns::Bytes twice;
    check(dns::encode(again, twice) && twice == once);
    check(again.questions.size() == m.questions.size() && again.answers.size() == m.answers.size());
    for (std::size_t i = 0; i < m.answers.size(); ++i)
        check(dns::same_name(m.answers[i].name, again.answers[i].name));
    return 0;
}
