#include "scram.h"
#include "secure/sasl.h"

namespace sgsecure {

namespace {

constexpr std::size_t kNonceBytes = 18;
constexpr std::size_t kSaltBytes = 16;

}  // namespace

SaslServer::SaslServer(SaslServerSettings s) : s_(std::move(s)) {}

Step SaslServer::refuse(std::string why, std::string_view scram_error, std::string& out) {
    reason_ = std::move(why);
    out = scram_error.empty() ? std::string() : "e=" + std::string(scram_error);
    stage_ = -1;
    return Step::failed;
}

Step SaslServer::step(std::string_view in, std::string& out) {
    out.clear();
    std::string why;
    if (stage_ < 0 || stage_ > 1)
        return refuse("no message expected now", "", out);
    switch (s_.mechanism) {
        case Mechanism::anonymous:
            if (!scram::acceptable(in, "the trace", true, why))
                return refuse(why, "", out);
            user_ = std::string(in);
            stage_ = 2;
            return Step::ok;
        case Mechanism::plain: {
            // authzid NUL authcid NUL passwd
            const std::size_t a = in.find('\0');
            const std::size_t b = a == std::string_view::npos ? a : in.find('\0', a + 1);
            if (b == std::string_view::npos || in.find('\0', b + 1) != std::string_view::npos)
                return refuse("a malformed PLAIN message", "", out);
            const std::string_view authzid = in.substr(0, a);
            const std::string_view user = in.substr(a + 1, b - a - 1);
            const std::string_view password = in.substr(b + 1);
            if (!scram::acceptable(user, "the user name", false, why) ||
                !scram::acceptable(password, "the password", false, why))
                return refuse(why, "", out);
            if (!authzid.empty() && authzid != user)
                return refuse("acting as another user is not allowed", "", out);
            const auto known = s_.password_of ? s_.password_of(user) : std::nullopt;
            // Compared as hashes: equal sizes, in constant time.
            if (!known || !scram::same(scram::sha256(scram::bytes_of(*known)),
                                       scram::sha256(scram::bytes_of(password))))
                return refuse("wrong user name or password", "", out);
            user_ = std::string(user);
            stage_ = 2;
            return Step::ok;
        }
        case Mechanism::scram_sha_256:
        case Mechanism::scram_sha_256_plus:
            break;
    }
    return stage_ == 0 ? scram_first(in, out) : scram_final(in, out);
}

Step SaslServer::scram_first(std::string_view in, std::string& out) {
    // gs2-header: the binding flag, the authorization identity, then the
    // client-first-message-bare.
    const bool plus = s_.mechanism == Mechanism::scram_sha_256_plus;
    const std::size_t c1 = in.find(',');
    const std::size_t c2 = c1 == std::string_view::npos ? c1 : in.find(',', c1 + 1);
    if (c2 == std::string_view::npos)
        return refuse("a malformed client-first-message", "other-error", out);
    const std::string_view flag = in.substr(0, c1);
    const std::string_view authzid = in.substr(c1 + 1, c2 - c1 - 1);
    if (flag == "p=tls-server-end-point") {
        if (!plus || s_.channel_binding.empty())
            return refuse("channel binding asked for without -PLUS",
                          "channel-binding-not-supported", out);
    } else if (flag.substr(0, 2) == "p=") {
        return refuse("channel binding type " + std::string(flag.substr(2)) + " is not ours",
                      "unsupported-channel-binding-type", out);
    } else if (plus) {
        return refuse("SCRAM-SHA-256-PLUS without channel binding", "channel-bindings-dont-match",
                      out);
    } else if (flag == "y") {
        // The client thinks we cannot bind; if we can, someone in the
        // middle took -PLUS off our list.
        if (!s_.channel_binding.empty())
            return refuse("the client was told we cannot bind: a downgrade",
                          "server-does-support-channel-binding", out);
    } else if (flag != "n") {
        return refuse("a malformed client-first-message", "other-error", out);
    }
    gs2_header_ = std::string(in.substr(0, c2 + 1));
    client_first_bare_ = std::string(in.substr(c2 + 1));
    const auto f = scram::fields(client_first_bare_);
    if (!f.empty() && !f[0].empty() && f[0][0] == 'm')
        return refuse("the client asks for an extension we do not know", "extensions-not-supported",
                      out);
    const auto n = scram::attribute(f[0], 'n');
    const auto r = f.size() > 1 ? scram::attribute(f[1], 'r') : std::nullopt;
    const auto user = n ? scram::unescape_name(*n) : std::nullopt;
    if (!user || !r || r->empty())
        return refuse("a malformed client-first-message", "invalid-username-encoding", out);
    std::string why;
    if (!scram::acceptable(*user, "the user name", false, why))
        return refuse(why, "invalid-username-encoding", out);
    if (!authzid.empty() && authzid != "a=" + scram::escape_name(*user))
        return refuse("acting as another user is not allowed", "invalid-username-encoding", out);
    user_ = *user;
    const std::string server_nonce = scram::random_text(kNonceBytes);
    const scram::Bytes salt = scram::random_bytes(kSaltBytes);
    if (server_nonce.empty() || salt.empty())
        return refuse("no random bytes for the nonce", "other-error", out);
    // A user we do not know goes through the same steps with a password
    // nobody has, so that the answer does not tell who exists.
    const auto known = s_.password_of ? s_.password_of(*user) : std::nullopt;
    user_known_ = known.has_value();
    const scram::Keys k =
        scram::derive_keys(known ? *known : scram::random_text(kNonceBytes), salt, s_.iterations);
    stored_key_ = k.stored_key;
    server_key_ = k.server_key;
    nonce_ = std::string(*r) + server_nonce;
    server_first_ =
        "r=" + nonce_ + ",s=" + scram::base64(salt) + ",i=" + std::to_string(s_.iterations);
    out = server_first_;
    stage_ = 1;
    return Step::more;
}

Step SaslServer::scram_final(std::string_view in, std::string& out) {
    // c=binding,r=nonce[,extensions],p=proof
    const std::size_t p = in.rfind(",p=");
    if (p == std::string_view::npos)
        return refuse("a malformed client-final-message", "other-error", out);
    const std::string_view without_proof = in.substr(0, p);
    const auto f = scram::fields(without_proof);
    const auto c = scram::attribute(f[0], 'c');
    const auto r = f.size() > 1 ? scram::attribute(f[1], 'r') : std::nullopt;
    const auto proof = scram::unbase64(in.substr(p + 3));
    if (!c || !r || !proof)
        return refuse("a malformed client-final-message", "other-error", out);
    scram::Bytes binding = scram::bytes_of(gs2_header_);
    if (s_.mechanism == Mechanism::scram_sha_256_plus)
        binding.insert(binding.end(), s_.channel_binding.begin(), s_.channel_binding.end());
    const auto sent = scram::unbase64(*c);
    if (!sent || *sent != binding)
        return refuse("the channel binding differs: another TLS channel, a man in the middle",
                      "channel-bindings-dont-match", out);
    if (*r != nonce_)
        return refuse("the nonce differs", "other-error", out);
    const std::string auth_message =
        client_first_bare_ + "," + server_first_ + "," + std::string(without_proof);
    scram::Bytes client_key = scram::hmac(stored_key_, auth_message);
    if (proof->size() != client_key.size())
        return refuse("a malformed proof", "invalid-proof", out);
    for (std::size_t n = 0; n < client_key.size(); ++n)
        client_key[n] ^= (*proof)[n];
    if (!scram::same(scram::sha256(client_key), stored_key_) || !user_known_)
        return refuse("wrong user name or password", "invalid-proof", out);
    out = "v=" + scram::base64(scram::hmac(server_key_, auth_message));
    stage_ = 2;
    return Step::ok;
}

}  // namespace sgsecure
