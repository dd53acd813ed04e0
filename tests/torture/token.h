// Each query carries a token of its own, and its reply must echo it. On the
// generator a token is an RF frequency in hertz ("FREQ <token>;FREQ?" sets
// and reads it back in one message, so the reply is made when the message
// is executed); on the I/O test instrument it is text kept by RECEIVE and
// given back by SEND. A token names the worker incarnation and thread that
// made it, whether its reply is read by the same operation (viQueryf) or by
// a later viRead, and a sequence number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace torture {

enum class TokenKind : std::uint32_t {
    atomic = 0,  // written and read back by one viQueryf
    split = 1,   // written by viWrite (or viWriteAsync), read by a later viRead
};

struct TokenOwner {
    std::uint32_t incarnation = 0;  // kept modulo 1024
    std::uint32_t thread = 0;       // 0..15
    TokenKind kind = TokenKind::atomic;
    std::uint32_t sequence = 0;  // kept modulo 2^17
};

// Within the generator's frequency range (9 kHz .. 6 GHz), as an integer.
std::uint64_t make_token(const TokenOwner& owner);
std::optional<TokenOwner> token_owner(std::uint64_t token);

// What a reply from the generator is.
struct GeneratorReply {
    enum Kind {
        token,    // one line holding a token
        other,    // one line of something else (an identification, a register, an error)
        garbled,  // not one line ending in a linefeed: bytes of two replies, or a part of one
    } kind = garbled;
    std::uint64_t value = 0;  // the token
};
GeneratorReply classify_generator_reply(std::string_view reply);

// The message that sets a token on the generator and asks for it back.
std::string generator_token_query(std::uint64_t token);

// The bytes the I/O test instrument keeps for a token: two lines, so that a
// read that stops at the first linefeed leaves the second behind.
std::string io_test_token_lines(std::uint64_t token);
// The first of those lines, what a read stopping at the linefeed returns.
std::string io_test_first_line(std::uint64_t token);

}  // namespace torture
