#include "secure/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "socket_bio.h"

namespace sgsecure {

struct TlsContext::Handle {
    SSL_CTX* ctx = nullptr;
    ~Handle() { SSL_CTX_free(ctx); }
};

struct TlsChannel::State {
    std::shared_ptr<TlsContext> ctx;
    SSL* ssl = nullptr;
    int fd = -1;
    bool server = false;
    // Held for each OpenSSL call, never across a wait.
    std::mutex lock;
    ~State() { SSL_free(ssl); }
};

namespace {

// OpenSSL's queue of errors, oldest first, as one line; the queue is emptied.
std::string openssl_errors(const char* what) {
    std::string out = what;
    char buf[256];
    while (unsigned long e = ERR_get_error()) {
        ERR_error_string_n(e, buf, sizeof buf);
        out += out.size() > std::strlen(what) ? "; " : ": ";
        out += buf;
    }
    return out;
}

Result fail(Fault f, std::string why) {
    return Result{f, std::move(why)};
}

int ms_until(Deadline d) {
    const auto left = d - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    // Rounded up, so that a wait never wakes just short of the deadline and
    // polls again for nothing.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

Result wait_ready(int fd, short events, Deadline deadline, int cancel_fd) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
        const int n = poll(p, cancel_fd >= 0 ? 2 : 1, ms_until(deadline));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(Fault::closed, std::string("poll: ") + std::strerror(errno));
        }
        if (cancel_fd >= 0 && p[1].revents != 0)
            return fail(Fault::cancelled, "cancelled");
        if (n > 0 && p[0].revents != 0)
            return {};  // ready, or an error OpenSSL's next call will meet
        if (Clock::now() >= deadline)
            return fail(Fault::timeout, "no answer before the deadline");
    }
}

// The fault of a certificate the client's verification refused.
Result certificate_fault(long verify) {
    const std::string why =
        std::string("server certificate: ") + X509_verify_cert_error_string(verify);
    switch (verify) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return fail(Fault::cert_expired, why);
        case X509_V_ERR_CERT_REVOKED:
            return fail(Fault::cert_revoked, why);
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return fail(Fault::cert_subject, why);
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return fail(Fault::cert_untrusted, why);
        default:
            return fail(Fault::cert, why);
    }
}

// Runs `op` (an SSL call: 1 is done) until it is done, waiting in poll for
// what it needs between tries. The call, and the reading of its error,
// under `lock`; the wait outside it, so that another thread may write while
// this one waits to read.
template <typename Op>
Result drive(SSL* ssl, std::mutex& lock, int fd, Deadline deadline, int cancel_fd, const char* what,
             Op op) {
    for (;;) {
        std::unique_lock<std::mutex> hold(lock);
        ERR_clear_error();
        const int r = op();
        if (r == 1)
            return {};
        short events = 0;
        switch (SSL_get_error(ssl, r)) {
            case SSL_ERROR_WANT_READ:
                events = POLLIN;
                break;
            case SSL_ERROR_WANT_WRITE:
                events = POLLOUT;
                break;
            case SSL_ERROR_ZERO_RETURN:
                return fail(Fault::closed,
                            std::string(what) + ": the peer ended TLS (close_notify)");
            case SSL_ERROR_SYSCALL:
                return fail(Fault::closed,
                            openssl_errors((std::string(what) + ": connection lost").c_str()));
            default: {
                const long verify = SSL_get_verify_result(ssl);
                if (verify != X509_V_OK) {
                    ERR_clear_error();
                    return certificate_fault(verify);
                }
                const unsigned long e = ERR_peek_error();
                if (ERR_GET_LIB(e) == ERR_LIB_SSL &&
                    ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
                    return fail(Fault::closed, openssl_errors(what));
                return fail(Fault::protocol, openssl_errors(what));
            }
        }
        hold.unlock();
        if (Result w = wait_ready(fd, events, deadline, cancel_fd); !w.ok()) {
            w.reason = std::string(what) + ": " + w.reason;
            return w;
        }
    }
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string s(data, n > 0 ? static_cast<std::size_t>(n) : 0);
    BIO_free(bio);
    return s;
}

std::string name_text(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    return bio_text(bio);
}

bool is_ip_literal(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

bool has_revocation_list(X509_STORE* store) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; objects != nullptr && i < sk_X509_OBJECT_num(objects); ++i) {
        if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_CRL)
            return true;
    }
    return false;
}

SSL_CTX* new_context(const SSL_METHOD* method, Result& result) {
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (ctx == nullptr) {
        result = fail(Fault::setup, openssl_errors("SSL_CTX_new"));
        return nullptr;
    }
    // TLS 1.2 and 1.3 only: older versions are broken, and the secure
    // connection is defined for these two.
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    // Record by record, never past a close_notify into what follows it in
    // plain (read-ahead is off by default; this says it is meant).
    SSL_CTX_set_read_ahead(ctx, 0);
    // No TLS 1.2 renegotiation: then a write never waits to read, and a
    // writer and a reader on two threads never wait for each other's bytes.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    return ctx;
}

}  // namespace

ViStatus vi_status(Fault f) {
    switch (f) {
        case Fault::none:
            return VI_SUCCESS;
        case Fault::timeout:
            return VI_ERROR_TMO;
        case Fault::cancelled:
            return VI_ERROR_ABORT;
        case Fault::closed:
            return VI_ERROR_CONN_LOST;
        case Fault::protocol:
            return VI_ERROR_IO;
        case Fault::setup:
            return VI_ERROR_FILE_ACCESS;
        case Fault::cert:
            return VI_ERROR_SERVER_CERT;
        case Fault::cert_untrusted:
            return VI_ERROR_SERVER_CERT_UNTRUSTED;
        case Fault::cert_expired:
            return VI_ERROR_SERVER_CERT_EXPIRED;
        case Fault::cert_revoked:
            return VI_ERROR_SERVER_CERT_REVOKED;
        case Fault::cert_subject:
            return VI_ERROR_SERVER_CERT_INV_SUBJECT;
    }
    return VI_ERROR_SYSTEM_ERROR;
}

const char* fault_name(Fault f) {
    switch (f) {
        case Fault::none:
            return "none";
        case Fault::timeout:
            return "timeout";
        case Fault::cancelled:
            return "cancelled";
        case Fault::closed:
            return "closed";
        case Fault::protocol:
            return "protocol";
        case Fault::setup:
            return "setup";
        case Fault::cert:
            return "cert";
        case Fault::cert_untrusted:
            return "cert_untrusted";
        case Fault::cert_expired:
            return "cert_expired";
        case Fault::cert_revoked:
            return "cert_revoked";
        case Fault::cert_subject:
            return "cert_subject";
    }
    return "?";
}

TlsContext::TlsContext(std::unique_ptr<Handle> h) : handle_(std::move(h)) {}
TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::client(const ClientSettings& s, Result& result) {
    result = {};
    auto h = std::make_unique<Handle>();
    h->ctx = new_context(TLS_client_method(), result);
    if (h->ctx == nullptr)
        return nullptr;
    const int loaded = s.ca_file.empty()
                           ? SSL_CTX_set_default_verify_paths(h->ctx)
                           : SSL_CTX_load_verify_locations(h->ctx, s.ca_file.c_str(), nullptr);
    if (loaded != 1) {
        result = fail(Fault::setup,
                      openssl_errors(s.ca_file.empty() ? "the system's certificate store"
                                                       : ("CA file " + s.ca_file).c_str()));
        return nullptr;
    }
    // Revocation lists in the CA file are checked for the server's
    // certificate; without one there is nothing to check against (asking
    // would refuse every certificate for the want of a list).
    X509_STORE* store = SSL_CTX_get_cert_store(h->ctx);
    if (has_revocation_list(store))
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    SSL_CTX_set_verify(h->ctx, SSL_VERIFY_PEER, nullptr);
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(h)));
}

std::shared_ptr<TlsContext> TlsContext::server(const ServerSettings& s, Result& result) {
    result = {};
    auto h = std::make_unique<Handle>();
    h->ctx = new_context(TLS_server_method(), result);
    if (h->ctx == nullptr)
        return nullptr;
    if (SSL_CTX_use_certificate_chain_file(h->ctx, s.certificate_file.c_str()) != 1) {
        result = fail(Fault::setup, openssl_errors(("certificate " + s.certificate_file).c_str()));
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(h->ctx, s.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(h->ctx) != 1) {
        result = fail(Fault::setup, openssl_errors(("key " + s.key_file).c_str()));
        return nullptr;
    }
    // No resumption: a session is one long connection, and tickets would be
    // bytes the server sends after its handshake, unasked.
    SSL_CTX_set_num_tickets(h->ctx, 0);
    SSL_CTX_set_session_cache_mode(h->ctx, SSL_SESS_CACHE_OFF);
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(h)));
}

TlsChannel::TlsChannel(std::unique_ptr<State> s) : state_(std::move(s)) {}
TlsChannel::~TlsChannel() = default;

// A channel's OpenSSL state on `fd`, before its handshake.
std::unique_ptr<TlsChannel::State> TlsChannel::start(std::shared_ptr<TlsContext> ctx, int fd,
                                                     bool server, Result& result) {
    auto st = std::make_unique<State>();
    st->ctx = std::move(ctx);
    st->fd = fd;
    st->server = server;
    st->ssl = SSL_new(st->ctx->handle()->ctx);
    BIO* bio = new_socket_bio(fd);
    if (st->ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        result = fail(Fault::setup, openssl_errors("SSL_new"));
        return nullptr;
    }
    SSL_set_bio(st->ssl, bio, bio);
    return st;
}

std::unique_ptr<TlsChannel> TlsChannel::connect(std::shared_ptr<TlsContext> ctx, int fd,
                                                const std::string& host, Deadline deadline,
                                                int cancel_fd, Result& result) {
    auto st = start(std::move(ctx), fd, false, result);
    if (st == nullptr)
        return nullptr;
    if (is_ip_literal(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(st->ssl), host.c_str());
    } else {
        // The name is checked against the certificate, and sent (SNI) so
        // that a server with several names can choose.
        SSL_set_hostflags(st->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(st->ssl, host.c_str()) != 1 ||
            SSL_set_tlsext_host_name(st->ssl, host.c_str()) != 1) {
            result = fail(Fault::cert_subject, openssl_errors(("host name " + host).c_str()));
            return nullptr;
        }
    }
    SSL* ssl = st->ssl;
    result = drive(ssl, st->lock, fd, deadline, cancel_fd, "TLS handshake",
                   [ssl] { return SSL_connect(ssl); });
    if (!result.ok())
        return nullptr;
    return std::unique_ptr<TlsChannel>(new TlsChannel(std::move(st)));
}

std::unique_ptr<TlsChannel> TlsChannel::accept(std::shared_ptr<TlsContext> ctx, int fd,
                                               Deadline deadline, int cancel_fd, Result& result) {
    auto st = start(std::move(ctx), fd, true, result);
    if (st == nullptr)
        return nullptr;
    SSL* ssl = st->ssl;
    result = drive(ssl, st->lock, fd, deadline, cancel_fd, "TLS handshake",
                   [ssl] { return SSL_accept(ssl); });
    if (!result.ok())
        return nullptr;
    return std::unique_ptr<TlsChannel>(new TlsChannel(std::move(st)));
}

Result TlsChannel::write(std::span<const std::uint8_t> bytes, Deadline deadline, int cancel_fd) {
    if (bytes.empty())
        return {};
    SSL* ssl = state_->ssl;
    std::size_t n = 0;
    // Without partial writes, SSL_write_ex is done only when all went; a
    // retry passes the same bytes, as OpenSSL requires.
    return drive(ssl, state_->lock, state_->fd, deadline, cancel_fd, "TLS write",
                 [&] { return SSL_write_ex(ssl, bytes.data(), bytes.size(), &n); });
}

Result TlsChannel::read_some(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                             int cancel_fd) {
    got = 0;
    if (buf.empty())
        return {};
    SSL* ssl = state_->ssl;
    return drive(ssl, state_->lock, state_->fd, deadline, cancel_fd, "TLS read",
                 [&] { return SSL_read_ex(ssl, buf.data(), buf.size(), &got); });
}

bool TlsChannel::has_pending() const {
    const std::lock_guard<std::mutex> hold(state_->lock);
    return SSL_pending(state_->ssl) > 0;
}

Result TlsChannel::close(Deadline deadline, int cancel_fd) {
    SSL* ssl = state_->ssl;
    // 1: both close_notify are through; 0: ours went, the peer's is still
    // to come, after whatever data it sent first (read and dropped).
    Result r = drive(ssl, state_->lock, state_->fd, deadline, cancel_fd, "TLS close", [ssl] {
        const int s = SSL_shutdown(ssl);
        return s == 0 ? 1 : s;
    });
    if (!r.ok())
        return r;
    std::uint8_t sink[4096];
    while ((SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) == 0) {
        std::size_t got = 0;
        r = drive(ssl, state_->lock, state_->fd, deadline, cancel_fd, "TLS close",
                  [&] { return SSL_read_ex(ssl, sink, sizeof sink, &got); });
        if (r.fault == Fault::closed && (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0)
            return {};
        if (!r.ok())
            return r;
    }
    return {};
}

std::string TlsChannel::cipher_suite() const {
    const SSL_CIPHER* c = SSL_get_current_cipher(state_->ssl);
    const char* name = c != nullptr ? SSL_CIPHER_standard_name(c) : nullptr;
    return name != nullptr ? name : "";
}

std::string TlsChannel::version() const {
    return SSL_get_version(state_->ssl);
}

CertificateFacts TlsChannel::peer_certificate() const {
    CertificateFacts f;
    X509* cert = SSL_get0_peer_certificate(state_->ssl);
    if (cert == nullptr)
        return f;
    f.issuer = name_text(X509_get_issuer_name(cert));
    f.subject = name_text(X509_get_subject_name(cert));
    std::tm tm{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) == 1) {
        const int year = tm.tm_year + 1900;
        char buf[32];
        // UTCTime carries two digits of the year, 1950 to 2049; past that
        // the certificate itself holds GeneralizedTime, shown as such.
        const bool utc_time = year >= 1950 && year <= 2049;
        std::snprintf(buf, sizeof buf, "%0*d%02d%02d%02d%02d%02dZ", utc_time ? 2 : 4,
                      utc_time ? year % 100 : year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec);
        f.expiration = buf;
        f.perpetual = year == 9999 && tm.tm_mon == 11 && tm.tm_mday == 31 && tm.tm_hour == 23 &&
                      tm.tm_min == 59 && tm.tm_sec == 59;
    }
    BIO* bio = BIO_new(BIO_s_mem());
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(state_->ssl);
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i)
        PEM_write_bio_X509(bio, sk_X509_value(chain, i));
    f.chain_pem = bio_text(bio);
    return f;
}

std::vector<std::uint8_t> TlsChannel::server_end_point() const {
    X509* cert =
        state_->server ? SSL_get_certificate(state_->ssl) : SSL_get0_peer_certificate(state_->ssl);
    if (cert == nullptr)
        return {};
    int md_nid = NID_undef;
    if (X509_get_signature_info(cert, &md_nid, nullptr, nullptr, nullptr) != 1)
        md_nid = NID_undef;
    const EVP_MD* md = nullptr;
    if (md_nid != NID_undef && md_nid != NID_md5 && md_nid != NID_sha1)
        md = EVP_get_digestbynid(md_nid);
    if (md == nullptr)
        md = EVP_sha256();
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (X509_digest(cert, md, out.data(), &n) != 1)
        return {};
    out.resize(n);
    return out;
}

}  // namespace sgsecure
