// SASL authentication for the secure LAN connection, both roles, as state
// machines over byte strings: the caller carries each message to the other
// side in whatever the protocol wraps it in, and hands the answer back.
//
// Mechanisms: SCRAM-SHA-256 (RFC 5802, RFC 7677) and SCRAM-SHA-256-PLUS
// with the tls-server-end-point channel binding (RFC 5929), PLAIN with an
// empty authorization identity (RFC 4616), ANONYMOUS with a trace string
// (RFC 4505). Every one begins with the client's message.
//
// Names and passwords are at most 255 octets of UTF-8. Of SASLprep
// (RFC 4013) we do what needs no Unicode tables: control characters are
// refused (as SASLprep prohibits them), and everything else goes unchanged.
// For printable ASCII that is exactly SASLprep's result; for other text it
// is whenever the text is already in Unicode normal form KC with no
// non-ASCII spaces, which is what keyboards give. We do not normalize:
// a name we would have to change is not silently changed into another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sgsecure {

enum class Mechanism { scram_sha_256_plus, scram_sha_256, plain, anonymous };

// The IANA name ("SCRAM-SHA-256-PLUS"), and the mechanism of a name.
const char* mechanism_name(Mechanism m);
std::optional<Mechanism> mechanism_named(std::string_view name);

constexpr std::size_t kMaxCredentialOctets = 255;

// A step's outcome. `more`: send the message made and hand over the
// peer's answer. `ok`: this side is done and content (a message made then
// is the last, still to be sent). `failed`: refused; reason() says why.
enum class Step { more, ok, failed };

struct SaslClientSettings {
    Mechanism mechanism = Mechanism::scram_sha_256;
    std::string user;      // SCRAM, PLAIN
    std::string password;  // SCRAM, PLAIN
    std::string trace;     // ANONYMOUS (an e-mail address or a token, may be empty)
    // SCRAM-SHA-256-PLUS: the tls-server-end-point data of the connection.
    std::vector<std::uint8_t> channel_binding;
    // Plain SCRAM-SHA-256 over a channel we could have bound: the server
    // did not offer -PLUS. Said to the server ("y"), so that one that did
    // offer it sees the downgrade.
    bool could_bind = false;
};

class SaslClient {
  public:
    explicit SaslClient(SaslClientSettings s);

    // The first message.
    Step start(std::string& out);
    // The server's next message `in`; `out` is the answer to send. SCRAM
    // ends `ok` only once the server proved it knows the password.
    Step step(std::string_view in, std::string& out);
    const std::string& reason() const { return reason_; }

  private:
    Step refuse(std::string why);

    SaslClientSettings s_;
    int stage_ = 0;
    std::string reason_;
    std::string gs2_header_, client_first_bare_, nonce_;
    std::vector<std::uint8_t> server_signature_;
};

struct SaslServerSettings {
    Mechanism mechanism = Mechanism::scram_sha_256;
    // The password of a user, or nothing for a user we do not know.
    std::function<std::optional<std::string>(std::string_view user)> password_of;
    // This connection's tls-server-end-point data; empty when there is no
    // TLS to bind to (then -PLUS is refused and "y" is no downgrade).
    std::vector<std::uint8_t> channel_binding;
    unsigned iterations = 4096;  // PBKDF2 rounds, RFC 7677's least
};

class SaslServer {
  public:
    explicit SaslServer(SaslServerSettings s);

    // The client's next message `in`; `out` is the answer to send (for
    // SCRAM, a refusal's "e=" message too).
    Step step(std::string_view in, std::string& out);
    const std::string& reason() const { return reason_; }
    // Who authenticated: the user, or ANONYMOUS's trace string.
    const std::string& user() const { return user_; }

  private:
    Step refuse(std::string why, std::string_view scram_error, std::string& out);
    Step scram_first(std::string_view in, std::string& out);
    Step scram_final(std::string_view in, std::string& out);

    SaslServerSettings s_;
    int stage_ = 0;
    bool user_known_ = false;
    std::string reason_, user_;
    std::string gs2_header_, client_first_bare_, server_first_, nonce_;
    std::vector<std::uint8_t> stored_key_, server_key_;
};

}  // namespace sgsecure
