// Drives the secure component against peers we did not write, for
// tests/secure/run:
//
//   secure_peer sasl-client|sasl-server MECH USER PASSWORD
//       SASL on stdin/stdout in gsasl's lines: a message a line, in base64;
//       gsasl's first line names its mechanism and its server's second is
//       an empty challenge, both skipped.
//   secure_peer tls-client HOST PORT CAFILE [MECH USER PASSWORD]
//       TLS to 127.0.0.1:PORT, the certificate checked against HOST; prints
//       what the certificate attributes would show, then SASL over the TLS
//       (a base64 line a message) or sends "ping" and prints the answer.
//   secure_peer tls-server PORT CERT KEY [MECH USER PASSWORD]
//       one client on 127.0.0.1:PORT ("ACCEPT" once listening); SASL as
//       above, or answers a line with "pong " and it.
//   secure_peer credentials PATH ID
//       prints the user of ID in the credentials file, or the refusal.
//
// A refusal prints "refused FAULT STATUS: why" and exits 2.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "secure/credentials.h"
#include "secure/sasl.h"
#include "secure/tls_channel.h"

namespace {

using namespace sgsecure;

// Each wait's bound: SECURE_PEER_MS, else 5 s.
Deadline soon() {
    const char* ms = std::getenv("SECURE_PEER_MS");
    return Clock::now() + std::chrono::milliseconds(ms != nullptr ? std::atoi(ms) : 5000);
}

int refused(const std::string& fault, ViStatus status, const std::string& why) {
    std::printf("refused %s 0x%08X: %s\n", fault.c_str(), static_cast<unsigned>(status),
                why.c_str());
    return 2;
}

std::string b64(const std::string& s) {
    std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data()),
        reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()))));
    return out;
}

std::string unb64(const std::string& t) {
    std::string out(t.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(t.data()),
                            static_cast<int>(t.size()));
    for (std::size_t i = t.size(); i > 0 && t[i - 1] == '=' && n > 0; --i)
        --n;
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

// A line at a time, over stdio or a TLS channel.
struct Lines {
    TlsChannel* tls = nullptr;
    std::string buffered;
    bool get(std::string& line) {
        if (tls == nullptr)
            return static_cast<bool>(std::getline(std::cin, line));
        for (;;) {
            if (const auto nl = buffered.find('\n'); nl != std::string::npos) {
                line = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return true;
            }
            std::uint8_t buf[1024];
            std::size_t got = 0;
            if (!tls->read_some(buf, got, soon(), -1).ok())
                return false;
            buffered.append(reinterpret_cast<char*>(buf), got);
        }
    }
    bool put(const std::string& line) {
        if (tls == nullptr)
            return static_cast<bool>(std::cout << line << '\n' << std::flush);
        const std::string l = line + '\n';
        return tls->write({reinterpret_cast<const std::uint8_t*>(l.data()), l.size()}, soon(), -1)
            .ok();
    }
};

int sasl(bool client, Lines& io, char** a, const std::vector<std::uint8_t>& binding, bool gsasl) {
    const auto mech = mechanism_named(a[0]);
    if (!mech)
        return refused("usage", 0, std::string("no mechanism ") + a[0]);
    std::string in, out, line;
    Step step = Step::more;
    std::string reason;
    if (client) {
        SaslClient c({*mech, a[1], a[2], a[1], binding, !binding.empty()});
        step = c.start(out);
        if (step != Step::failed)
            io.put(b64(out));
        for (int skip = gsasl ? 2 : 0; skip > 0 && io.get(line); --skip) {
        }
        while (step == Step::more && io.get(line)) {
            step = c.step(unb64(line), out);
            if (step != Step::failed)
                io.put(b64(out));
        }
        reason = step == Step::more ? "the server hung up" : c.reason();
    } else {
        const std::string user = a[1], password = a[2];
        SaslServer s({*mech,
                      [&](std::string_view u) {
                          return u == user ? std::optional<std::string>(password) : std::nullopt;
                      },
                      binding});
        if (gsasl)
            io.get(line);
        while (step == Step::more && io.get(line)) {
            step = s.step(unb64(line), out);
            if (step == Step::more || !out.empty())
                io.put(b64(out));
        }
        // gsasl's client, content, still waits for a line from us, and
        // sends one first when our last message was its due.
        if (gsasl && step == Step::ok && (out.empty() || io.get(line)))
            io.put("");
        reason = step == Step::more ? "the client hung up" : s.reason();
        if (step == Step::ok)
            std::fprintf(stderr, "authenticated %s\n", s.user().c_str());
    }
    if (step != Step::ok)
        return refused("sasl", VI_ERROR_NPERMISSION, reason);
    std::fprintf(stderr, "sasl ok\n");
    return 0;
}

std::string hex(const std::vector<std::uint8_t>& b) {
    std::string s;
    char h[3];
    for (auto x : b) {
        std::snprintf(h, sizeof h, "%02x", x);
        s += h;
    }
    return s;
}

int chain_length(const std::string& pem) {
    int n = 0;
    for (auto at = pem.find("BEGIN CERTIFICATE"); at != std::string::npos;
         at = pem.find("BEGIN CERTIFICATE", at + 1))
        ++n;
    return n;
}

int tcp_socket(sockaddr_in& sa, int port) {
    sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int tls(bool client, int argc, char** argv) {
    sockaddr_in sa;
    int fd = tcp_socket(sa, std::stoi(argv[client ? 3 : 2]));
    Result r;
    std::shared_ptr<TlsContext> ctx =
        client ? TlsContext::client({argv[4]}, r) : TlsContext::server({argv[3], argv[4]}, r);
    if (ctx == nullptr)
        return refused(fault_name(r.fault), vi_status(r.fault), r.reason);
    if (client) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            return refused("connect", VI_ERROR_RSRC_NFOUND, "no server");
    } else {
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 1) != 0)
            return refused("listen", VI_ERROR_RSRC_BUSY, "port taken");
        std::printf("ACCEPT\n");
        std::fflush(stdout);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            return refused("timeout", VI_ERROR_TMO, "no client came");
        fd = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) != 0)
        return refused("socket", VI_ERROR_SYSTEM_ERROR, "FIONBIO");
    auto ch = client ? TlsChannel::connect(ctx, fd, argv[2], soon(), -1, r)
                     : TlsChannel::accept(ctx, fd, soon(), -1, r);
    if (ch == nullptr)
        return refused(fault_name(r.fault), vi_status(r.fault), r.reason);
    const CertificateFacts f = ch->peer_certificate();
    std::printf("version=%s cipher=%s binding=%s\n", ch->version().c_str(),
                ch->cipher_suite().c_str(), hex(ch->server_end_point()).c_str());
    if (client)
        std::printf("subject=%s issuer=%s expiration=%s perpetual=%d chain=%d\n", f.subject.c_str(),
                    f.issuer.c_str(), f.expiration.c_str(), f.perpetual, chain_length(f.chain_pem));
    Lines io{ch.get(), {}};
    int rc = 0;
    std::string line;
    if (argc == 8) {
        rc = sasl(client, io, argv + 5, ch->server_end_point(), false);
    } else if (client) {
        io.put("ping");
        if (!io.get(line))
            return refused("closed", VI_ERROR_CONN_LOST, "no answer");
        std::printf("got %s\n", line.c_str());
    } else if (io.get(line)) {
        io.put("pong " + line);
    }
    std::fflush(stdout);
    r = ch->close(soon(), -1);
    if (!r.ok() && r.fault != Fault::closed)
        return refused(fault_name(r.fault), vi_status(r.fault), r.reason);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a peer gone is a refusal to report
    const std::string cmd = argc > 1 ? argv[1] : "";
    if ((cmd == "sasl-client" || cmd == "sasl-server") && argc == 5) {
        Lines io;
        return sasl(cmd == "sasl-client", io, argv + 2, {}, true);
    }
    if ((cmd == "tls-client" || cmd == "tls-server") && (argc == 5 || argc == 8))
        return tls(cmd == "tls-client", argc, argv);
    if (cmd == "credentials" && argc == 4) {
        SecureSettings s;
        std::string why;
        const Load l = load_secure_settings(argv[2], s, why);
        if (l == Load::missing)
            return refused("missing", VI_ERROR_FILE_ACCESS,
                           std::string(argv[2]) + ": no such file");
        if (l != Load::loaded)
            return refused("file", VI_ERROR_FILE_ACCESS, why);
        const auto it = s.credentials.find(argv[3]);
        std::printf("ca-file=%s user=%s\n", s.ca_file.c_str(),
                    it != s.credentials.end() ? it->second.user.c_str() : "");
        return 0;
    }
    std::fprintf(stderr, "usage: see the head of tests/secure/secure_peer.cpp\n");
    return 64;
}
