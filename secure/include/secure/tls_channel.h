// TLS over a TCP connection another layer made and keeps: the secure LAN
// connection starts TLS on a socket that has already carried plain
// messages, and may end it again (close_notify) and carry plain messages
// after, so the channel never owns the descriptor.
//
// The socket is non-blocking. Every call takes a deadline and a cancel
// descriptor (-1 for none) and waits only in poll(2) on the socket and that
// descriptor, so a handshake with a silent peer ends at the deadline and
// another thread can end any wait. Only TLS 1.2 and 1.3 are spoken.
//
// The client trusts the certificate authorities of a CA file, or the
// system's store when none is named, and checks that the certificate is
// the named host's (its DNS name, or its IP address when the host is a
// literal). A refusal says why in a Fault the library turns into the VISA
// status of that reason (vi_status).
//
// One thread may read while another writes (a service request sent while a
// reply is awaited): each OpenSSL call is made under the channel's lock,
// each wait outside it. The handshakes and close() have the channel to
// themselves.
//
// OpenSSL reads the socket record by record (no read-ahead), so after both
// sides' close_notify the socket holds only what the peer sent in plain
// after it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "visa.h"

namespace sgsecure {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

enum class Fault {
    none,
    timeout,         // the deadline came first
    cancelled,       // the cancel descriptor became readable
    closed,          // the peer closed (or reset) the connection
    protocol,        // a TLS alert, a version or cipher refused, a broken record
    setup,           // our own side: a CA, certificate or key file that does not load
    cert,            // the server's certificate refused for another reason
    cert_untrusted,  // no chain to a trusted authority (self-signed, unknown issuer)
    cert_expired,    // past its notAfter, or before its notBefore
    cert_revoked,    // on a revocation list
    cert_subject,    // not the named host's
};

struct Result {
    Fault fault = Fault::none;
    std::string reason;  // for the trace: what failed, in OpenSSL's words where it had some
    bool ok() const { return fault == Fault::none; }
};

// The VISA status of a fault: the certificate ones VI_ERROR_SERVER_CERT*,
// timeout VI_ERROR_TMO, cancelled VI_ERROR_ABORT, closed VI_ERROR_CONN_LOST,
// protocol VI_ERROR_IO, setup VI_ERROR_FILE_ACCESS.
ViStatus vi_status(Fault f);
const char* fault_name(Fault f);

// What the VISA certificate attributes show of the server's certificate.
struct CertificateFacts {
    std::string issuer;      // RFC 2253 text
    std::string subject;     // RFC 2253 text
    std::string expiration;  // notAfter, ASN.1 UTCTime text (GeneralizedTime after 2049)
    bool perpetual = false;  // notAfter 99991231235959Z: no expiry (RFC 5280, 4.1.2.5)
    std::string chain_pem;   // the chain the server sent, PEM, its own first
};

struct ClientSettings {
    // PEM certificates of the authorities to trust, and their revocation
    // lists, if any (then the server's certificate is checked against
    // them); empty: the system's store.
    std::string ca_file;
};

struct ServerSettings {
    std::string certificate_file;  // PEM, the server's certificate then its chain
    std::string key_file;          // PEM
};

// One side's OpenSSL context, shared by its connections (both channels of a
// session, or every client of a server).
class TlsContext {
  public:
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    static std::shared_ptr<TlsContext> client(const ClientSettings& s, Result& result);
    static std::shared_ptr<TlsContext> server(const ServerSettings& s, Result& result);

    struct Handle;  // the SSL_CTX, opaque here
    Handle* handle() const { return handle_.get(); }

  private:
    explicit TlsContext(std::unique_ptr<Handle> h);
    std::unique_ptr<Handle> handle_;
};

class TlsChannel {
  public:
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // The client's handshake on `fd`, checking the certificate against
    // `host` (a DNS name, or an IPv4/IPv6 literal without brackets).
    static std::unique_ptr<TlsChannel> connect(std::shared_ptr<TlsContext> ctx, int fd,
                                               const std::string& host, Deadline deadline,
                                               int cancel_fd, Result& result);
    // The server's handshake on `fd`.
    static std::unique_ptr<TlsChannel> accept(std::shared_ptr<TlsContext> ctx, int fd,
                                              Deadline deadline, int cancel_fd, Result& result);

    // Sends all of `bytes`. One ended by the deadline or the cancel
    // descriptor may have sent part of a record: the connection is then
    // good for nothing but closing.
    Result write(std::span<const std::uint8_t> bytes, Deadline deadline, int cancel_fd);
    // Receives what has arrived, at most buf.size() bytes, waiting for the
    // first. Fault::closed when the peer sent close_notify (then `got` is 0).
    Result read_some(std::span<std::uint8_t> buf, std::size_t& got, Deadline deadline,
                     int cancel_fd);
    // Whether decrypted bytes wait already: a caller that polls the socket
    // asks this first, for they make the socket look idle.
    bool has_pending() const;
    // Sends close_notify and waits for the peer's; the socket then carries
    // plain bytes again. Bytes of application data that arrive before the
    // peer's close_notify are discarded.
    Result close(Deadline deadline, int cancel_fd);

    std::string cipher_suite() const;  // IANA name ("TLS_AES_256_GCM_SHA384")
    std::string version() const;       // "TLSv1.3"
    // The server's certificate (the peer's for a client; empty for a server).
    CertificateFacts peer_certificate() const;
    // The tls-server-end-point channel binding (RFC 5929, 4.1): the hash of
    // the server's certificate with the hash of its signature algorithm,
    // SHA-256 where that is MD5 or SHA-1 or has none. The same on both ends.
    std::vector<std::uint8_t> server_end_point() const;

  private:
    struct State;
    explicit TlsChannel(std::unique_ptr<State> s);
    static std::unique_ptr<State> start(std::shared_ptr<TlsContext> ctx, int fd, bool server,
                                        Result& result);
    std::unique_ptr<State> state_;
};

}  // namespace sgsecure
