// HiSLIP 2.0's secure connection, made while a session opens: TLS on the
// asynchronous channel (AsyncStartTLS), then on the synchronous one
// (StartTLS), then SASL on the synchronous one (GetSaslMechanismList,
// AuthenticationStart, AuthenticationExchange..., AuthenticationResult).
// Any step that fails fails the open: a secure name is never served by a
// plain connection.
#pragma once

#include <string>

#include "hislip_channel.h"
#include "transport/lan_facts.h"

namespace sgvisa::lan {

// The user's settings, loaded for a secure name before any connection:
// `credential` is the id of a cred@host name, empty for @host (the
// anonymous user). Fills `user`/`password` and `ca_file`.
struct SecureLogin {
    std::string credential;
    std::string user;
    std::string password;
    std::string ca_file;
};
ViStatus load_secure_login(const std::string& credential, SecureLogin& out);

// The secure transactions on a session whose two channels are initialized
// (the asynchronous one said it can: `capable`). `host` is what the
// server's certificate must name. Fills facts' secure part.
ViStatus make_hislip_secure(HislipChannel& sync, HislipChannel& async, bool capable,
                            const std::string& host, const SecureLogin& login, Deadline deadline,
                            LanFacts& facts);

}  // namespace sgvisa::lan
