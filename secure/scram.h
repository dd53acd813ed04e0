// What both roles of SCRAM-SHA-256 compute and parse (RFC 5802, 3 and 5;
// RFC 7677), and the checks of names and passwords both roles make. Pure
// functions over OpenSSL's SHA-256, HMAC, PBKDF2 and random bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sgsecure::scram {

using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kMinIterations = 4096;     // RFC 7677, 4
constexpr unsigned kMaxIterations = 1000000;  // about half a second of PBKDF2 here

std::string base64(const Bytes& b);
std::optional<Bytes> unbase64(std::string_view text);
Bytes bytes_of(std::string_view s);

// `n` bytes from OpenSSL's generator, as base64: printable, and never a
// comma, as a nonce must be.
std::string random_text(std::size_t n);
Bytes random_bytes(std::size_t n);

// The keys of a password (RFC 5802, 3).
struct Keys {
    Bytes client_key, stored_key, server_key;
};
Keys derive_keys(std::string_view password, const Bytes& salt, unsigned iterations);

Bytes hmac(const Bytes& key, std::string_view text);
Bytes sha256(const Bytes& data);
bool same(const Bytes& a, const Bytes& b);  // in constant time for equal sizes

// saslname: '=' and ',' escaped as =3D and =2C; unescape refuses any other
// '=' sequence.
std::string escape_name(std::string_view name);
std::optional<std::string> unescape_name(std::string_view text);

// The value of attribute `key` if `field` is "key=value".
std::optional<std::string> attribute(std::string_view field, char key);
// `text` split at commas.
std::vector<std::string_view> fields(std::string_view text);

// The part of SASLprep that needs no Unicode tables (see secure/sasl.h):
// an empty string (where `may_be_empty` is false), more than 255 octets,
// text that is not UTF-8, or a control character is refused with why.
bool acceptable(std::string_view text, const char* what, bool may_be_empty, std::string& why);

}  // namespace sgsecure::scram
