#include "hislip_secure.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <vector>

#include "hislip_text.h"
#include "secure/credentials.h"
#include "secure/sasl.h"
#include "trace/trace_reason.h"

namespace sgvisa::lan {

namespace {

// Error and result texts are short; a mechanism list or a SCRAM message
// is too.
constexpr std::size_t kMaxSecurePayload = 4096;

ViStatus refuse(ViStatus st, std::string why) {
    trace::note_reason([why = std::move(why)] { return "secure HiSLIP: " + why; });
    return st;
}

// The next message on `c`, its payload whole. A FatalError or an Error is
// the server's refusal: an Error of failed authentication is the user's
// (VI_ERROR_NPERMISSION), the others end the secure connection.
ViStatus next_message(HislipChannel& c, Deadline deadline, hs::Header& h,
                      std::vector<std::uint8_t>& payload) {
    ViStatus st = c.read_header(h, deadline, -1);
    if (st == VI_SUCCESS)
        st = c.read_payload(payload, kMaxSecurePayload, deadline, -1);
    if (st != VI_SUCCESS)
        return st;
    if (h.message_type() == hs::MessageType::error &&
        h.control == static_cast<std::uint8_t>(hs::ErrorCode::authentication_failed))
        return refuse(VI_ERROR_NPERMISSION,
                      "the server refused the login: " + hislip_error_words(h, payload));
    if (h.message_type() == hs::MessageType::fatal_error ||
        h.message_type() == hs::MessageType::error)
        return refuse(VI_ERROR_IO, "the server refused: " + hislip_error_words(h, payload));
    return VI_SUCCESS;
}

ViStatus expect(HislipChannel& c, hs::MessageType answer, Deadline deadline, hs::Header& h,
                std::vector<std::uint8_t>& payload) {
    const ViStatus st = next_message(c, deadline, h, payload);
    if (st != VI_SUCCESS || h.message_type() == answer)
        return st;
    return refuse(VI_ERROR_IO,
                  "the server answered " + std::string(hs::type_name(h.type)) + " where " +
                      std::string(hs::type_name(static_cast<std::uint8_t>(answer))) + " was due");
}

std::string_view text(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// What we offer of the server's list: with a password, SCRAM bound to the
// channel first, then plain SCRAM, then PLAIN (safe inside TLS whose
// certificate we checked); without one, ANONYMOUS only.
std::optional<sgsecure::Mechanism> choose(std::string_view offered, bool anonymous) {
    std::vector<std::string> names;
    std::istringstream in{std::string(offered)};
    for (std::string name; in >> name;)
        names.push_back(name);
    const auto has = [&](sgsecure::Mechanism m) {
        return std::find(names.begin(), names.end(), sgsecure::mechanism_name(m)) != names.end();
    };
    using M = sgsecure::Mechanism;
    const auto order = anonymous
                           ? std::vector<M>{M::anonymous}
                           : std::vector<M>{M::scram_sha_256_plus, M::scram_sha_256, M::plain};
    for (M m : order) {
        if (has(m))
            return m;
    }
    return std::nullopt;
}

ViStatus authenticate(HislipChannel& sync, const SecureLogin& login, Deadline deadline,
                      std::string& mechanism_used) {
    hs::Header h;
    std::vector<std::uint8_t> payload;
    ViStatus st = sync.send(hs::MessageType::get_sasl_mechanism_list, 0, 0,
                            std::span<const std::uint8_t>{}, deadline, -1);
    if (st == VI_SUCCESS)
        st = expect(sync, hs::MessageType::get_sasl_mechanism_list_response, deadline, h, payload);
    if (st != VI_SUCCESS)
        return st;
    const bool anonymous = login.credential.empty();
    const auto mechanism = choose(text(payload), anonymous);
    if (!mechanism)
        return refuse(VI_ERROR_NPERMISSION,
                      "the server offers no mechanism we use " +
                          std::string(anonymous ? "for the anonymous user (ANONYMOUS)"
                                                : "with a password (SCRAM-SHA-256, PLAIN)") +
                          ": it offers \"" + std::string(text(payload)) + "\"");
    sgsecure::SaslClientSettings settings;
    settings.mechanism = *mechanism;
    settings.user = login.user;
    settings.password = login.password;
    if (*mechanism == sgsecure::Mechanism::scram_sha_256_plus)
        settings.channel_binding = sync.tls()->server_end_point();
    settings.could_bind = *mechanism == sgsecure::Mechanism::scram_sha_256;
    sgsecure::SaslClient client(std::move(settings));
    std::string out;
    sgsecure::Step step = client.start(out);
    if (step == sgsecure::Step::failed)
        return refuse(VI_ERROR_NPERMISSION, "SASL: " + client.reason());
    mechanism_used = sgsecure::mechanism_name(*mechanism);
    st = sync.send(hs::MessageType::authentication_start, 0, 0, mechanism_used, deadline, -1);
    // Every mechanism here begins with the client's message.
    if (st == VI_SUCCESS)
        st = sync.send(hs::MessageType::authentication_exchange, 0, 0, out, deadline, -1);
    while (st == VI_SUCCESS) {
        st = next_message(sync, deadline, h, payload);
        if (st != VI_SUCCESS)
            break;
        if (h.message_type() == hs::MessageType::authentication_result) {
            if ((h.control & hs::kAuthenticationSuccess) == 0)
                return refuse(VI_ERROR_NPERMISSION,
                              "the server refused the login: " + std::string(text(payload)));
            // The server's last word (SCRAM's signature) comes with the
            // result: its "success" counts only if it proves itself.
            if (!payload.empty() && step == sgsecure::Step::more)
                step = client.step(text(payload), out);
            if (step != sgsecure::Step::ok)
                return refuse(VI_ERROR_NPERMISSION,
                              "the server said the login succeeded without proving it knows "
                              "the password" +
                                  (client.reason().empty() ? "" : ": " + client.reason()));
            return VI_SUCCESS;
        }
        if (h.message_type() != hs::MessageType::authentication_exchange)
            return refuse(VI_ERROR_IO, "the server sent " + std::string(hs::type_name(h.type)) +
                                           " during authentication");
        if (step != sgsecure::Step::more)
            return refuse(VI_ERROR_NPERMISSION,
                          "the server asked for more than " + mechanism_used + " has to say");
        step = client.step(text(payload), out);
        if (step == sgsecure::Step::failed)
            return refuse(VI_ERROR_NPERMISSION, "SASL: " + client.reason());
        st = sync.send(hs::MessageType::authentication_exchange, 0, 0, out, deadline, -1);
    }
    return st;
}

}  // namespace

ViStatus load_secure_login(const std::string& credential, SecureLogin& out) {
    out = SecureLogin{};
    out.credential = credential;
    if (!credential.empty() && !sgsecure::is_credential_id(credential))
        return refuse(
            VI_ERROR_INV_RSRC_NAME,
            "\"" + credential + "\" is no credential id (a letter, then letters, digits and '-')");
    const std::string path = sgsecure::credentials_path();
    sgsecure::SecureSettings settings;
    std::string why;
    switch (path.empty() ? sgsecure::Load::missing
                         : sgsecure::load_secure_settings(path, settings, why)) {
        case sgsecure::Load::refused:
            return refuse(VI_ERROR_FILE_ACCESS,
                          "the credentials file " + path + " is refused: " + why);
        case sgsecure::Load::missing:
            if (!credential.empty())
                return refuse(VI_ERROR_FILE_ACCESS,
                              "the name asks for credentials \"" + credential +
                                  "\" but there is no credentials file" +
                                  (path.empty() ? std::string() : " (" + path + ")"));
            return VI_SUCCESS;  // the anonymous user, the system's CAs
        case sgsecure::Load::loaded:
            break;
    }
    out.ca_file = settings.ca_file;
    if (credential.empty())
        return VI_SUCCESS;
    const auto found = settings.credentials.find(credential);
    if (found == settings.credentials.end())
        return refuse(VI_ERROR_FILE_ACCESS,
                      "no [" + credential + "] section in the credentials file " + path);
    out.user = found->second.user;
    out.password = found->second.password;
    return VI_SUCCESS;
}

ViStatus make_hislip_secure(HislipChannel& sync, HislipChannel& async, bool capable,
                            const std::string& host, const SecureLogin& login, Deadline deadline,
                            LanFacts& facts) {
    if (!capable)
        return refuse(VI_ERROR_NSUP_OPER,
                      "the HiSLIP server offers no secure connection (HiSLIP 2.0 with TLS); a "
                      "secure name is never served by a plain one");
    sgsecure::Result r;
    const auto context = sgsecure::TlsContext::client({login.ca_file}, r);
    if (!context)
        return refuse(sgsecure::vi_status(r.fault), "TLS set-up: " + r.reason);
    // No message before it: the MessageIDs are those before the first.
    constexpr std::uint32_t none = hs::kMessageIdBeforeFirst;
    const std::uint8_t last_received[4] = {
        static_cast<std::uint8_t>(none >> 24), static_cast<std::uint8_t>(none >> 16),
        static_cast<std::uint8_t>(none >> 8), static_cast<std::uint8_t>(none)};
    hs::Header h;
    std::vector<std::uint8_t> payload;
    ViStatus st = async.send(hs::MessageType::async_start_tls, 0, hs::kMessageIdBeforeFirst,
                             last_received, deadline, -1);
    if (st == VI_SUCCESS)
        st = expect(async, hs::MessageType::async_start_tls_response, deadline, h, payload);
    if (st != VI_SUCCESS)
        return st;
    if (h.control != static_cast<std::uint8_t>(hs::TlsResult::success))
        return refuse(VI_ERROR_IO, "the server did not start TLS (AsyncStartTLSResponse " +
                                       std::to_string(h.control) + ")");
    st = async.start_tls(context, host, deadline);
    if (st == VI_SUCCESS)
        st = sync.send(hs::MessageType::start_tls, 0, 0, std::span<const std::uint8_t>{}, deadline,
                       -1);
    if (st == VI_SUCCESS)
        st = sync.start_tls(context, host, deadline);
    std::string mechanism;
    if (st == VI_SUCCESS)
        st = authenticate(sync, login, deadline, mechanism);
    if (st != VI_SUCCESS)
        return st;
    const sgsecure::CertificateFacts cert = sync.tls()->peer_certificate();
    facts.secure = true;
    facts.cert_issuer = cert.issuer;
    facts.cert_subject = cert.subject;
    facts.cert_expiration = cert.expiration;
    facts.cert_perpetual = cert.perpetual;
    facts.cert_chain_pem = cert.chain_pem;
    facts.cipher_suite = sync.tls()->cipher_suite();
    facts.sasl_mechanism = mechanism;
    return VI_SUCCESS;
}

}  // namespace sgvisa::lan
