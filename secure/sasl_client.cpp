#include <charconv>

#include "scram.h"
#include "secure/sasl.h"

namespace sgsecure {

namespace {

constexpr std::size_t kNonceBytes = 18;  // 24 characters of base64
constexpr const char* kBinding = "tls-server-end-point";

bool is_scram(Mechanism m) {
    return m == Mechanism::scram_sha_256 || m == Mechanism::scram_sha_256_plus;
}

}  // namespace

SaslClient::SaslClient(SaslClientSettings s) : s_(std::move(s)) {}

Step SaslClient::refuse(std::string why) {
    reason_ = std::move(why);
    stage_ = -1;
    return Step::failed;
}

Step SaslClient::start(std::string& out) {
    out.clear();
    if (stage_ != 0)
        return refuse("authentication already started");
    std::string why;
    switch (s_.mechanism) {
        case Mechanism::anonymous:
            if (!scram::acceptable(s_.trace, "the trace", true, why))
                return refuse(why);
            out = s_.trace;
            stage_ = 2;
            return Step::ok;
        case Mechanism::plain:
            if (!scram::acceptable(s_.user, "the user name", false, why) ||
                !scram::acceptable(s_.password, "the password", false, why))
                return refuse(why);
            // An empty authorization identity: act as the user who logs in.
            out = std::string(1, '\0') + s_.user + '\0' + s_.password;
            stage_ = 2;
            return Step::ok;
        case Mechanism::scram_sha_256:
        case Mechanism::scram_sha_256_plus:
            break;
    }
    if (!scram::acceptable(s_.user, "the user name", false, why) ||
        !scram::acceptable(s_.password, "the password", false, why))
        return refuse(why);
    if (s_.mechanism == Mechanism::scram_sha_256_plus) {
        if (s_.channel_binding.empty())
            return refuse("SCRAM-SHA-256-PLUS without a TLS channel to bind to");
        gs2_header_ = std::string("p=") + kBinding + ",,";
    } else {
        gs2_header_ = s_.could_bind ? "y,," : "n,,";
    }
    nonce_ = scram::random_text(kNonceBytes);
    if (nonce_.empty())
        return refuse("no random bytes for the nonce");
    client_first_bare_ = "n=" + scram::escape_name(s_.user) + ",r=" + nonce_;
    out = gs2_header_ + client_first_bare_;
    stage_ = 1;
    return Step::more;
}

Step SaslClient::step(std::string_view in, std::string& out) {
    out.clear();
    if (!is_scram(s_.mechanism) || stage_ < 1 || stage_ > 2)
        return refuse(std::string(mechanism_name(s_.mechanism)) + ": no message expected now");
    const auto f = scram::fields(in);
    if (stage_ == 2) {
        // server-final-message: its signature, or its refusal.
        if (auto e = scram::attribute(f[0], 'e'))
            return refuse("the server refused: " + std::string(*e));
        const auto v = scram::attribute(f[0], 'v');
        const auto sig = v ? scram::unbase64(*v) : std::nullopt;
        if (!sig || !scram::same(*sig, server_signature_))
            return refuse("the server did not prove it knows the password");
        stage_ = 3;
        return Step::ok;
    }
    // server-first-message: r=nonce,s=salt,i=count[,extensions]
    if (f.size() < 3)
        return refuse("a malformed server-first-message");
    if (!f[0].empty() && f[0][0] == 'm')
        return refuse("the server asks for an extension we do not know");
    const auto r = scram::attribute(f[0], 'r');
    const auto s = scram::attribute(f[1], 's');
    const auto i = scram::attribute(f[2], 'i');
    if (!r || !s || !i)
        return refuse("a malformed server-first-message");
    if (r->size() <= nonce_.size() || r->substr(0, nonce_.size()) != nonce_)
        return refuse("the server's nonce does not extend ours");
    const auto salt = scram::unbase64(*s);
    if (!salt || salt->empty())
        return refuse("the server's salt is not base64");
    unsigned iterations = 0;
    const auto [end, ec] = std::from_chars(i->data(), i->data() + i->size(), iterations);
    if (ec != std::errc() || end != i->data() + i->size())
        return refuse("the server's iteration count is not a number");
    if (iterations < scram::kMinIterations || iterations > scram::kMaxIterations)
        return refuse("the server's iteration count " + std::string(*i) + " is outside 4096 to " +
                      std::to_string(scram::kMaxIterations));
    scram::Bytes binding = scram::bytes_of(gs2_header_);
    if (s_.mechanism == Mechanism::scram_sha_256_plus)
        binding.insert(binding.end(), s_.channel_binding.begin(), s_.channel_binding.end());
    const std::string without_proof = "c=" + scram::base64(binding) + ",r=" + std::string(*r);
    const std::string auth_message =
        client_first_bare_ + "," + std::string(in) + "," + without_proof;
    const scram::Keys k = scram::derive_keys(s_.password, *salt, iterations);
    scram::Bytes proof = scram::hmac(k.stored_key, auth_message);
    for (std::size_t n = 0; n < proof.size(); ++n)
        proof[n] ^= k.client_key[n];
    server_signature_ = scram::hmac(k.server_key, auth_message);
    out = without_proof + ",p=" + scram::base64(proof);
    stage_ = 2;
    return Step::more;
}

}  // namespace sgsecure
