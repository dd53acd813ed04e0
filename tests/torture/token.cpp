#include "token.h"

#include <charconv>

namespace torture {
namespace {

constexpr std::uint64_t kBase = 10'000'000;  // well above the generator's other integer replies

}  // namespace

std::uint64_t make_token(const TokenOwner& owner) {
    const std::uint64_t bits = (std::uint64_t{owner.incarnation % 1024} << 22) |
                               (std::uint64_t{owner.thread & 0xF} << 18) |
                               (std::uint64_t{static_cast<std::uint32_t>(owner.kind) & 1} << 17) |
                               (owner.sequence & 0x1FFFF);
    return kBase + bits;
}

std::optional<TokenOwner> token_owner(std::uint64_t token) {
    if (token < kBase || token - kBase >= (std::uint64_t{1} << 32))
        return std::nullopt;
    const std::uint64_t bits = token - kBase;
    TokenOwner owner;
    owner.incarnation = static_cast<std::uint32_t>(bits >> 22);
    owner.thread = static_cast<std::uint32_t>((bits >> 18) & 0xF);
    owner.kind = static_cast<TokenKind>((bits >> 17) & 1);
    owner.sequence = static_cast<std::uint32_t>(bits & 0x1FFFF);
    return owner;
}

GeneratorReply classify_generator_reply(std::string_view reply) {
    GeneratorReply r;
    if (reply.empty() || reply.back() != '\n' || reply.find('\n') != reply.size() - 1)
        return r;  // garbled
    const std::string_view line = reply.substr(0, reply.size() - 1);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (ec == std::errc() && end == line.data() + line.size() && token_owner(value)) {
        r.kind = GeneratorReply::token;
        r.value = value;
    } else {
        r.kind = GeneratorReply::other;
    }
    return r;
}

std::string generator_token_query(std::uint64_t token) {
    return "FREQ " + std::to_string(token) + ";FREQ?\n";
}

std::string io_test_token_lines(std::uint64_t token) {
    return io_test_first_line(token) + "tok-" + std::to_string(token) + "-b\n";
}

std::string io_test_first_line(std::uint64_t token) {
    return "tok-" + std::to_string(token) + "-a\n";
}

}  // namespace torture
