// HiSLIP: a connection's first message says which of a session's two it
// is. Initialize opens a session on the synchronous connection, which then
// carries the program messages, their replies, triggers and the end of a
// device clear; AsyncInitialize joins the session's asynchronous
// connection, which carries locks, status queries, service requests,
// remote/local control and the start of a device clear.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection_services.h"
#include "hislip_session.h"
#include "secure/sasl.h"
#include "secure/tls_channel.h"
#include "tcp_io.h"

namespace sgsim::network {

namespace hs = sgproto::hislip;
using hs::MessageType;

namespace {

constexpr std::chrono::seconds kSendBound{10};
// A client that connects and says nothing is dropped after this.
constexpr std::chrono::seconds kInitializeBound{30};
// The longest message a client may send us, header included, unless the
// hislip-max-message quirk says less.
constexpr std::uint64_t kDefaultMaxMessage = 1u << 20;
// Asynchronous messages carry at most a lock key or a size: this is room
// and to spare (every receiver takes kMinAsyncPayload).
constexpr std::size_t kMaxAsyncPayload = 4096;
// Overlapped replies held back to go out in one write, at most.
constexpr std::size_t kBatchMost = 64 * 1024;
// A lock release waits this long at most for the synchronous message it
// names to be handled.
constexpr std::chrono::seconds kReleaseBound{10};
// Our vendor ID in AsyncInitializeResponse: lowercase, so that it is none
// of the two-letter IDs handed out to vendors (all uppercase), and not the
// library's "sg" either, so that a trace of our client against this server
// tells the two sides apart ("ss": simulated server).
constexpr std::uint16_t kServerVendor = ('s' << 8) | 's';
// GetSaslMechanismListResponse with TLS, our preference first.
constexpr std::string_view kMechanisms = "SCRAM-SHA-256-PLUS SCRAM-SHA-256 PLAIN ANONYMOUS";

// Reads a connection's messages, with whatever arrived past the current one
// kept for the next.
class MessageStream {
  public:
    enum class Event { message, too_large, bad_header, closed, woken, timeout };

    MessageStream(int fd, int stop_fd, std::size_t max_payload)
        : fd_(fd), stop_fd_(stop_fd), reader_(max_payload), buffer_(64 * 1024) {}

    hs::MessageReader& reader() { return reader_; }

    // From now on the bytes come through TLS.
    void set_tls(sgsecure::TlsChannel* tls) { tls_ = tls; }
    // Receive nothing past the current message: after StartTLS the client
    // sends its handshake at once, and the TLS channel reads that from the
    // socket itself.
    void set_exact(bool exact) { exact_ = exact; }

    // The next message (or what stops it), waiting until `deadline` for
    // bytes, or until `wake_fd` (an eventfd, read here) is written.
    Event next(int wake_fd, Clock::time_point deadline) {
        if (reader_.status() == hs::MessageReader::Status::message)
            reader_.next();
        else if (reader_.status() == hs::MessageReader::Status::too_large)
            reader_.skip_payload();
        for (;;) {
            while (pos_ < end_) {
                std::size_t taken = 0;
                const auto status = reader_.feed({buffer_.data() + pos_, end_ - pos_}, taken);
                pos_ += taken;
                if (status == hs::MessageReader::Status::message)
                    return Event::message;
                if (status == hs::MessageReader::Status::too_large)
                    return Event::too_large;
                if (status == hs::MessageReader::Status::bad_header)
                    return Event::bad_header;
            }
            pos_ = end_ = 0;
            // Bytes TLS decrypted already leave the socket looking idle.
            if (tls_ == nullptr || !tls_->has_pending()) {
                pollfd p[3] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
                const int r = ::poll(p, wake_fd >= 0 ? 3 : 2, poll_timeout(deadline));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0 || p[1].revents != 0)
                    return Event::closed;
                if (r == 0)
                    return Event::timeout;
                if (wake_fd >= 0 && p[2].revents != 0) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t n = ::read(wake_fd, &count, sizeof count);
                    return Event::woken;
                }
            }
            if (tls_ != nullptr) {
                // A record begun is finished within the send bound.
                std::size_t got = 0;
                if (!tls_->read_some(buffer_, got, Clock::now() + kSendBound, stop_fd_).ok())
                    return Event::closed;
                end_ = got;
                continue;
            }
            const std::size_t most =
                exact_ ? std::clamp<std::size_t>(reader_.wanted(), 1, buffer_.size())
                       : buffer_.size();
            const ssize_t n = ::recv(fd_, buffer_.data(), most, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return Event::closed;
            if (n > 0)
                end_ = static_cast<std::size_t>(n);
        }
    }

    // Whether bytes of a next message have been received already.
    bool buffered() const { return pos_ < end_; }
    // Whether the whole next message has, so that handling it needs no wait
    // for the client.
    bool next_buffered() const {
        if (end_ - pos_ < hs::kHeaderSize)
            return false;
        hs::Header h;
        return hs::decode_header(std::span<const std::uint8_t, hs::kHeaderSize>(
                                     buffer_.data() + pos_, hs::kHeaderSize),
                                 h) &&
               h.length <= end_ - pos_ - hs::kHeaderSize;
    }

    std::string_view payload() const {
        const auto p = reader_.payload();
        return {reinterpret_cast<const char*>(p.data()), p.size()};
    }

  private:
    int fd_;
    int stop_fd_;
    hs::MessageReader reader_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    sgsecure::TlsChannel* tls_ = nullptr;
    bool exact_ = false;
};

// A connection to send on: plain, or through its TLS channel once started.
struct Link {
    int fd = -1;
    int stop_fd = -1;
    sgsecure::TlsChannel* tls = nullptr;
};

// One buffer per message, so that TLS too makes it one record and one write.
bool send_message(const Link& link, MessageType type, std::uint8_t control, std::uint32_t parameter,
                  std::string_view payload = {}) {
    const hs::Bytes m = hs::message(type, control, parameter, payload);
    const Clock::time_point deadline = Clock::now() + kSendBound;
    if (link.tls != nullptr)
        return link.tls->write(m, deadline, link.stop_fd).ok();
    return send_whole(link.fd, m, link.stop_fd, deadline);
}

// On the asynchronous connection, from either thread; nothing before it
// joined or once it is gone.
bool send_async(HislipSession& session, int stop_fd, MessageType type, std::uint8_t control,
                std::uint32_t parameter, std::string_view payload = {}) {
    const std::lock_guard<std::mutex> hold(session.async_send);
    if (session.async_fd < 0)
        return false;
    return send_message({session.async_fd, stop_fd, session.async_tls.get()}, type, control,
                        parameter, payload);
}

void fatal(const Link& link, hs::FatalErrorCode code, std::string_view text) {
    send_message(link, MessageType::fatal_error, static_cast<std::uint8_t>(code), 0, text);
}

void error(const Link& link, hs::ErrorCode code, std::string_view text) {
    send_message(link, MessageType::error, static_cast<std::uint8_t>(code), 0, text);
}

// What a server without the secure connection, or that does not know the
// type, answers: Error, unknown vendor message or unknown type.
void refuse_type(const Link& link, std::uint8_t type) {
    if (type >= hs::kFirstVendorSpecific)
        error(link, hs::ErrorCode::unrecognized_vendor_message,
              "vendor-specific message not recognized");
    else
        error(link, hs::ErrorCode::unrecognized_message_type,
              std::string("message type not served here: ") + std::string(hs::type_name(type)));
}

// A session's synchronous connection, from its Initialize on.
class SyncChannel {
  public:
    SyncChannel(int fd, SharedInstrument& shared, const HislipContext& context,
                MessageStream& stream, HislipSession& session)
        : fd_(fd),
          stop_fd_(context.stop_fd),
          context_(context),
          shared_(shared),
          stream_(stream),
          s_(session) {}

    void run() {
        for (;;) {
            if (!stream_.next_buffered() && !flush())
                return;  // nothing held while waiting for the client
            switch (stream_.next(s_.sync_wake, Clock::time_point::max())) {
                case MessageStream::Event::message:
                    if (!handle(stream_.reader().header()))
                        return;
                    break;
                case MessageStream::Event::too_large:
                    flush();
                    error(link(), hs::ErrorCode::message_too_large,
                          "message longer than AsyncMaximumMessageSizeResponse allows");
                    break;
                case MessageStream::Event::bad_header:
                    flush();
                    fatal(link(), hs::FatalErrorCode::bad_header,
                          "poorly formed message header: no \"HS\" prologue");
                    return;
                case MessageStream::Event::woken: {
                    const std::lock_guard<std::mutex> hold(s_.mutex);
                    if (s_.ended)
                        return;
                    break;
                }
                case MessageStream::Event::closed:
                case MessageStream::Event::timeout:
                    return;
            }
        }
    }

  private:
    // Sends the replies held back (see send_reply): before anything else
    // goes out on this connection and before any wait.
    bool flush() {
        if (held_.empty())
            return true;
        const Clock::time_point deadline = Clock::now() + kSendBound;
        // Through TLS too in one write: one record for the batch.
        const bool ok = tls_ ? tls_->write(held_, deadline, stop_fd_).ok()
                             : send_whole(fd_, held_, stop_fd_, deadline);
        held_.clear();
        return ok;
    }

    // False to end the connection.
    bool handle(const hs::Header& h) {
        if (h.message_type() != MessageType::data && h.message_type() != MessageType::data_end &&
            !flush())
            return false;
        switch (h.message_type()) {
            case MessageType::data:
            case MessageType::data_end:
            case MessageType::trigger:
                return sync_message(h);
            case MessageType::device_clear_complete:
                return complete_clear(h.control);
            case MessageType::fatal_error:
                return false;
            case MessageType::error:
                return true;
            case MessageType::start_tls:
                if (!context_.tls)
                    break;
                return start_tls();
            case MessageType::get_sasl_mechanism_list:
                if (!context_.tls)
                    break;
                return send_message(link(), MessageType::get_sasl_mechanism_list_response, 0, 0,
                                    kMechanisms);
            case MessageType::authentication_start:
                if (!context_.tls)
                    break;
                return authentication_start();
            case MessageType::authentication_exchange:
                if (!context_.tls)
                    break;
                return authentication_exchange();
            default:
                break;
        }
        refuse_type(link(), h.type);
        return true;
    }

    Link link() const { return {fd_, stop_fd_, tls_.get()}; }

    // StartTLS has no answer: the client's handshake follows it at once.
    // The asynchronous connection's TLS comes first.
    bool start_tls() {
        bool async_secure = false;
        {
            const std::lock_guard<std::mutex> hold(s_.async_send);
            async_secure = s_.async_tls != nullptr;
        }
        if (tls_ || !async_secure) {
            fatal(link(), hs::FatalErrorCode::secure_connection_failed,
                  tls_ ? "StartTLS on a connection already secure"
                       : "StartTLS before AsyncStartTLS succeeded");
            return false;
        }
        sgsecure::Result r;
        tls_ =
            sgsecure::TlsChannel::accept(context_.tls, fd_, Clock::now() + kSendBound, stop_fd_, r);
        if (!tls_)
            return false;  // the client's TLS said why, to the client
        stream_.set_tls(tls_.get());
        return true;
    }

    bool authentication_start() {
        const auto mechanism = sgsecure::mechanism_named(stream_.payload());
        if (!tls_ || !mechanism) {
            error(link(), hs::ErrorCode::authentication_failed,
                  !tls_ ? "authentication before StartTLS"
                        : "no such mechanism here: " + std::string(stream_.payload()));
            return true;
        }
        sgsecure::SaslServerSettings settings;
        settings.mechanism = *mechanism;
        const auto* users = context_.users;
        settings.password_of = [users](std::string_view user) -> std::optional<std::string> {
            if (users == nullptr)
                return std::nullopt;
            const auto found = users->find(user);
            if (found == users->end())
                return std::nullopt;
            return found->second;
        };
        settings.channel_binding = tls_->server_end_point();
        sasl_.emplace(std::move(settings));
        return true;
    }

    bool authentication_exchange() {
        if (!sasl_) {
            error(link(), hs::ErrorCode::authentication_failed,
                  "AuthenticationExchange before AuthenticationStart");
            return true;
        }
        std::string out;
        switch (sasl_->step(stream_.payload(), out)) {
            case sgsecure::Step::more:
                return send_message(link(), MessageType::authentication_exchange, 0, 0, out);
            case sgsecure::Step::ok: {
                {
                    const std::lock_guard<std::mutex> hold(s_.mutex);
                    s_.secured = true;
                }
                sasl_.reset();
                // The mechanism's last word (SCRAM's server signature) rides
                // on the result, so that the client can check it.
                return send_message(link(), MessageType::authentication_result,
                                    hs::kAuthenticationSuccess, 0, out);
            }
            case sgsecure::Step::failed:
                break;
        }
        const std::string why = "authentication failed: " + sasl_->reason();
        sasl_.reset();
        error(link(), hs::ErrorCode::authentication_failed, why);
        return true;
    }

    bool sync_message(const hs::Header& h) {
        const std::uint32_t id = h.parameter;
        const bool rmt_delivered = (h.control & hs::kRmtDelivered) != 0;
        bool interrupted = false;
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            if (context_.tls && !s_.secured) {
                fatal(link(), hs::FatalErrorCode::secure_connection_failed,
                      "this instrument requires a secure connection: TLS and authentication "
                      "come before any message");
                return false;
            }
            if (!s_.async_joined) {
                fatal(link(), hs::FatalErrorCode::channels_not_connected,
                      "the asynchronous connection is not initialized yet");
                return false;
            }
            if (s_.clearing)
                return true;  // a device clear drops what comes before its end
            // IEEE 488.2's interrupted query: a reply went out and the
            // client sends again without having delivered it.
            if (!s_.overlapped) {
                interrupted = s_.rmt_expected && !rmt_delivered;
                if (rmt_delivered || interrupted)
                    s_.rmt_expected = false;
            }
        }
        if (interrupted) {
            flush();
            shared_.query_interrupted();
            send_message(link(), MessageType::interrupted, 0, id);
            send_async(s_, stop_fd_, MessageType::async_interrupted, 0, id);
        }
        const Clock::time_point received = Clock::now();
        bool ok = true;
        if (h.message_type() == MessageType::trigger) {
            ok = shared_.hislip_trigger(s_.lid);
        } else {
            const auto reply = shared_.hislip_message(s_.lid, stream_.payload(),
                                                      h.message_type() == MessageType::data_end,
                                                      [this] { flush(); });
            ok = reply.ok;
            if (ok && !reply.response.empty()) {
                const Clock::time_point due =
                    std::max(reply.ready, received + shared_.quirks().late);
                switch (wait_for_reply(due)) {
                    case Due::now:
                        ok = send_reply(reply.response, id);
                        // The request follows the reply, never a held one.
                        if (ok && reply.request_service && (ok = flush()))
                            shared_.hislip_replied(s_.lid);
                        break;
                    case Due::interrupted:
                        break;  // the next message finds the reply dropped
                    case Due::ended:
                        ok = false;
                        break;
                }
            }
        }
        const std::lock_guard<std::mutex> hold(s_.mutex);
        s_.last_done = id;
        s_.changed.notify_all();
        // Not ok: the server stops, the peer is gone, or a device clear
        // abandoned the message.
        return ok || s_.clearing;
    }

    enum class Due { now, interrupted, ended };
    // Waits until a reply is due. In synchronized mode a message that comes
    // first interrupts the query: the reply is dropped, unsent, and taken
    // as sent but not delivered, so that the new message is found to
    // interrupt it.
    Due wait_for_reply(Clock::time_point due) {
        for (;;) {
            {
                const std::lock_guard<std::mutex> hold(s_.mutex);
                if (s_.ended || s_.clearing)
                    return Due::ended;
                if (!s_.overlapped && stream_.buffered()) {
                    s_.rmt_expected = true;
                    return Due::interrupted;
                }
            }
            if (Clock::now() >= due)
                return Due::now;
            if (!flush())
                return Due::ended;
            const bool overlapped = [&] {
                const std::lock_guard<std::mutex> hold(s_.mutex);
                return s_.overlapped;
            }();
            // In overlapped mode what comes meanwhile waits for its turn.
            pollfd p[3] = {{stop_fd_, POLLIN, 0}, {s_.sync_wake, POLLIN, 0}, {fd_, POLLIN, 0}};
            const int r = ::poll(p, overlapped ? 2 : 3, poll_timeout(due));
            if (r < 0 && errno != EINTR)
                return Due::ended;
            if (r <= 0)
                continue;
            if (p[0].revents != 0)
                return Due::ended;
            if (p[1].revents != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(s_.sync_wake, &count, sizeof count);
                continue;  // a clear or the end: seen above
            }
            if (!overlapped && p[2].revents != 0) {
                const std::lock_guard<std::mutex> hold(s_.mutex);
                s_.rmt_expected = true;
                return Due::interrupted;
            }
        }
    }

    // Data messages as large as the client takes, DataEnd last. In
    // synchronized mode each carries the MessageID of the message that
    // asked; in overlapped mode our own count. In overlapped mode, while
    // the next query is here already, the replies are held back and go out
    // together: one write and one wake-up of the client for a batch of
    // pipelined queries instead of one each, which is most of what having
    // them in flight saves.
    bool send_reply(std::string_view response, std::uint32_t id) {
        std::uint64_t most = 0;
        bool overlapped = false;
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            most = s_.client_max > hs::kHeaderSize ? s_.client_max - hs::kHeaderSize : 1;
            overlapped = s_.overlapped;
        }
        do {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(response.size(), most));
            const bool last = n == response.size();
            std::uint32_t message_id = id;
            {
                const std::lock_guard<std::mutex> hold(s_.mutex);
                if (s_.clearing)
                    return false;
                // MAV from the reply's first message on (set before it goes
                // out, so that a status query after it sees it).
                if (!overlapped)
                    s_.rmt_expected = true;
                if (overlapped) {
                    message_id = s_.next_reply_id;
                    s_.next_reply_id = hs::next_message_id(s_.next_reply_id);
                    s_.replied = true;
                }
            }
            const hs::Bytes m = hs::message(last ? MessageType::data_end : MessageType::data, 0,
                                            message_id, response.substr(0, n));
            held_.insert(held_.end(), m.begin(), m.end());
            const bool hold =
                overlapped && last && held_.size() < kBatchMost && stream_.next_buffered();
            if (!hold && !flush())
                return false;
            response.remove_prefix(n);
        } while (!response.empty());
        return true;
    }

    // The end of a device clear: the client's features are agreed (as far
    // as this server has them), the instrument cleared and the counts
    // started afresh. DeviceClearAcknowledge goes on this, the synchronous,
    // connection: the protocol's description of the clear transaction puts
    // it here, and the clients (pyvisa-py among them) wait for it here;
    // only the protocol's summary table lists it as asynchronous.
    bool complete_clear(std::uint8_t requested) {
        const bool overlapped =
            (requested & hs::kFeatureOverlapped) != 0 && !shared_.quirks().hislip_sync_only;
        shared_.hislip_clear(s_.lid);
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            s_.overlapped = overlapped;
            s_.clearing = false;
            s_.rmt_expected = false;
            s_.last_done = hs::kMessageIdBeforeFirst;
            s_.next_reply_id = hs::kFirstMessageId;
            s_.replied = false;
            s_.changed.notify_all();
        }
        const auto late = std::chrono::milliseconds(shared_.quirks().hislip_late_clear_ack_ms);
        if (late.count() > 0 && !shared_.hislip_wait(s_.lid, Clock::now() + late))
            return false;
        const std::uint8_t mandatory = context_.tls ? hs::kFeatureEncryptionMandatory : 0;
        return send_message(link(), MessageType::device_clear_acknowledge,
                            (overlapped ? hs::kFeatureOverlapped : 0) | mandatory, 0);
    }

    int fd_;
    int stop_fd_;
    const HislipContext& context_;
    std::unique_ptr<sgsecure::TlsChannel> tls_;
    std::optional<sgsecure::SaslServer> sasl_;
    SharedInstrument& shared_;
    MessageStream& stream_;
    HislipSession& s_;
    std::vector<std::uint8_t> held_;  // replies not sent yet, encoded
};

// A session's asynchronous connection, from its AsyncInitialize on.
class AsyncChannel {
  public:
    AsyncChannel(int fd, SharedInstrument& shared, const HislipContext& context,
                 MessageStream& stream, HislipSession& session)
        : fd_(fd),
          stop_fd_(context.stop_fd),
          tls_(context.tls),
          shared_(shared),
          stream_(stream),
          s_(session) {}

    void run() {
        for (;;) {
            switch (stream_.next(s_.async_wake, Clock::time_point::max())) {
                case MessageStream::Event::message:
                    if (!handle(stream_.reader().header()))
                        return;
                    break;
                case MessageStream::Event::too_large:
                    reply_error(hs::ErrorCode::message_too_large,
                                "asynchronous message longer than this server takes");
                    break;
                case MessageStream::Event::bad_header:
                    reply_fatal(hs::FatalErrorCode::bad_header,
                                "poorly formed message header: no \"HS\" prologue");
                    return;
                case MessageStream::Event::woken:
                    if (!woken())
                        return;
                    break;
                case MessageStream::Event::closed:
                case MessageStream::Event::timeout:
                    return;
            }
        }
    }

  private:
    bool reply(MessageType type, std::uint8_t control, std::uint32_t parameter,
               std::string_view payload = {}) {
        return send_async(s_, stop_fd_, type, control, parameter, payload);
    }
    void reply_error(hs::ErrorCode code, std::string_view text) {
        reply(MessageType::error, static_cast<std::uint8_t>(code), 0, text);
    }
    void reply_fatal(hs::FatalErrorCode code, std::string_view text) {
        reply(MessageType::fatal_error, static_cast<std::uint8_t>(code), 0, text);
    }

    // A service request, or the session's end (false). The instrument makes
    // a request only when a new reason arises while none stands (its RQS
    // bit): a status query, which clears RQS, is what lets the next one
    // come, for every client alike.
    bool woken() {
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            if (s_.ended)
                return false;
        }
        if (shared_.take_service_requests(s_.connection).empty())
            return true;
        return reply(MessageType::async_service_request, shared_.status_byte(), 0);
    }

    bool handle(const hs::Header& h) {
        switch (h.message_type()) {
            case MessageType::async_maximum_message_size:
                return maximum_message_size();
            case MessageType::async_lock:
                return lock(h);
            case MessageType::async_lock_info: {
                const auto info = shared_.lock_info();
                return reply(MessageType::async_lock_info_response,
                             info.exclusive ? hs::kExclusiveLockGranted : 0, info.holders);
            }
            case MessageType::async_remote_local_control:
                // 0 and 2 give up remote, 6 only goes to local; the others
                // enable it.
                shared_.set_remote(h.control != 0 && h.control != 2 && h.control != 6);
                return reply(MessageType::async_remote_local_response, 0, 0);
            case MessageType::async_status_query:
                return status_query(h);
            case MessageType::async_device_clear:
                return start_clear();
            case MessageType::fatal_error:
                return false;
            case MessageType::error:
                return true;
            case MessageType::async_start_tls:
                if (tls_)
                    return start_tls();
                [[fallthrough]];
            default: {
                // Under async_send: the synchronous side may be sending too.
                const std::lock_guard<std::mutex> hold(s_.async_send);
                refuse_type({fd_, stop_fd_, s_.async_tls.get()}, h.type);
                return true;
            }
        }
    }

    // The answer goes in plain, then the client's handshake comes. Under
    // async_send throughout: nothing else may go out on the connection
    // meanwhile.
    bool start_tls() {
        const std::lock_guard<std::mutex> hold(s_.async_send);
        if (s_.async_tls) {
            return send_message({fd_, stop_fd_, s_.async_tls.get()},
                                MessageType::async_start_tls_response,
                                static_cast<std::uint8_t>(hs::TlsResult::error), 0);
        }
        if (!send_message({fd_, stop_fd_}, MessageType::async_start_tls_response,
                          static_cast<std::uint8_t>(hs::TlsResult::success), 0))
            return false;
        sgsecure::Result r;
        s_.async_tls =
            sgsecure::TlsChannel::accept(tls_, fd_, Clock::now() + kSendBound, stop_fd_, r);
        if (!s_.async_tls)
            return false;
        stream_.set_tls(s_.async_tls.get());
        return true;
    }

    // The client's maximum is what we may send it; ours, in the response,
    // what it may send us.
    bool maximum_message_size() {
        std::uint64_t client_max = 0;
        const auto payload = stream_.reader().payload();
        if (!hs::decode_u64(payload, client_max)) {
            reply_error(hs::ErrorCode::unidentified,
                        "AsyncMaximumMessageSize carries an 8-byte size");
            return true;
        }
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            s_.client_max = client_max;
        }
        const std::uint32_t quirk = shared_.quirks().hislip_max_message;
        const auto ours = hs::encode_u64(quirk > 0 ? quirk : kDefaultMaxMessage);
        return reply(MessageType::async_maximum_message_size_response, 0, 0,
                     std::string_view(reinterpret_cast<const char*>(ours.data()), ours.size()));
    }

    bool lock(const hs::Header& h) {
        hs::LockResult result = hs::LockResult::error;
        if (h.control == hs::kLockRequest) {
            result = shared_.hislip_lock(s_.lid, stream_.payload(), h.parameter);
        } else if (h.control == hs::kLockRelease) {
            // The release takes effect once the synchronous message it
            // names has been handled.
            const std::uint32_t id = h.parameter;
            std::unique_lock<std::mutex> hold(s_.mutex);
            s_.changed.wait_for(hold, kReleaseBound, [&] {
                return s_.ended || s_.clearing || id == hs::kMessageIdBeforeFirst ||
                       (s_.last_done != hs::kMessageIdBeforeFirst &&
                        static_cast<std::int32_t>(s_.last_done - id) >= 0);
            });
            hold.unlock();
            result = shared_.hislip_unlock(s_.lid);
        } else {
            reply_error(hs::ErrorCode::unrecognized_control_code,
                        "AsyncLock control code is 0 (release) or 1 (request)");
            return true;
        }
        return reply(MessageType::async_lock_response, static_cast<std::uint8_t>(result), 0);
    }

    bool status_query(const hs::Header& h) {
        bool mav = false;
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            if (!s_.overlapped) {
                if ((h.control & hs::kRmtDelivered) != 0)
                    s_.rmt_expected = false;
                mav = s_.rmt_expected;
            } else {
                // Replies went out past the last one the client delivered.
                const std::uint32_t last_sent = s_.next_reply_id - 2;
                mav = s_.replied && static_cast<std::int32_t>(last_sent - h.parameter) > 0;
            }
        }
        return reply(MessageType::async_status_response, shared_.hislip_status(mav), 0);
    }

    bool start_clear() {
        {
            const std::lock_guard<std::mutex> hold(s_.mutex);
            s_.clearing = true;
            s_.changed.notify_all();
        }
        shared_.hislip_abort(s_.lid);
        s_.wake(s_.sync_wake);
        const bool prefer_overlap = shared_.quirks().hislip_prefer_overlap;
        return reply(MessageType::async_device_clear_acknowledge,
                     prefer_overlap ? hs::kFeatureOverlapped : 0, 0);
    }

    int fd_;
    int stop_fd_;
    std::shared_ptr<sgsecure::TlsContext> tls_;
    SharedInstrument& shared_;
    MessageStream& stream_;
    HislipSession& s_;
};

void serve_sync(int fd, SharedInstrument& shared, const HislipContext& context,
                MessageStream& stream) {
    const hs::Header& h = stream.reader().header();
    const hs::InitializeParameter client = hs::decode_initialize(h.parameter);
    const std::string_view sub_address = stream.payload();
    // VISA names a HiSLIP device hislipN; an empty name is the default one.
    if (!sub_address.empty() && sub_address.substr(0, 6) != "hislip") {
        fatal({fd, context.stop_fd}, hs::FatalErrorCode::unidentified,
              "no device \"" + std::string(sub_address) + "\" here: sub-addresses are hislipN");
        return;
    }
    const DeviceQuirks& quirks = shared.quirks();
    const auto session = context.sessions->open(quirks.hislip_one_client);
    if (!session) {
        fatal({fd, context.stop_fd}, hs::FatalErrorCode::too_many_clients,
              "too many clients: this instrument serves one HiSLIP client at a time");
        return;
    }
    session->connection = context.connection;
    session->overlapped = quirks.hislip_prefer_overlap;
    shared.open_connection(context.connection, session->async_wake);
    session->lid = shared.create_link(context.connection, false, 0).lid;
    shared.enable_srq(session->lid, true, {});
    hs::InitializeResponse response;
    response.prefer_overlapped = session->overlapped;
    // With TLS, only secure: nothing goes in plain past the handshakes.
    response.encryption_mandatory = context.tls != nullptr;
    response.version = std::min(client.version, hs::kVersion20);
    response.session_id = session->id;
    if (send_message({fd, context.stop_fd}, MessageType::initialize_response,
                     hs::initialize_response_control(response),
                     hs::initialize_response_parameter(response))) {
        const std::uint32_t quirk = quirks.hislip_max_message;
        const std::uint64_t ours = quirk > 0 ? quirk : kDefaultMaxMessage;
        stream.reader().set_max_payload(static_cast<std::size_t>(ours - hs::kHeaderSize));
        SyncChannel(fd, shared, context, stream, *session).run();
    }
    {
        const std::lock_guard<std::mutex> hold(session->mutex);
        session->ended = true;
        session->changed.notify_all();
    }
    session->wake(session->async_wake);
    shared.close_connection(context.connection);
    context.sessions->close(session->id);
}

void serve_async(int fd, SharedInstrument& shared, const HislipContext& context,
                 MessageStream& stream) {
    const auto id = static_cast<std::uint16_t>(stream.reader().header().parameter & 0xFFFF);
    const auto session = context.sessions->join(id);
    if (!session) {
        fatal({fd, context.stop_fd}, hs::FatalErrorCode::invalid_initialization,
              "AsyncInitialize names no session waiting for it: Initialize comes first");
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(session->async_send);
        session->async_fd = fd;
    }
    if (send_async(*session, context.stop_fd, MessageType::async_initialize_response,
                   context.tls ? hs::kSecureConnectionCapable : 0, kServerVendor))
        AsyncChannel(fd, shared, context, stream, *session).run();
    {
        const std::lock_guard<std::mutex> hold(session->async_send);
        session->async_fd = -1;
        session->async_tls.reset();
    }
    {
        const std::lock_guard<std::mutex> hold(session->mutex);
        session->ended = true;
        session->changed.notify_all();
    }
    shared.hislip_abort(session->lid);  // a synchronous wait ends too
    session->wake(session->sync_wake);
}

}  // namespace

void serve_hislip_connection(int fd, SharedInstrument& shared, const HislipContext& context) {
    MessageStream stream(fd, context.stop_fd, hs::kMaxSubAddress);
    stream.set_exact(context.tls != nullptr);
    switch (stream.next(-1, Clock::now() + kInitializeBound)) {
        case MessageStream::Event::message:
            break;
        case MessageStream::Event::bad_header:
            fatal({fd, context.stop_fd}, hs::FatalErrorCode::bad_header,
                  "poorly formed message header: no \"HS\" prologue");
            return;
        case MessageStream::Event::too_large:
            fatal({fd, context.stop_fd}, hs::FatalErrorCode::invalid_initialization,
                  "the first message is too long for Initialize or AsyncInitialize");
            return;
        default:
            return;  // gone, stopped or silent (a probe)
    }
    switch (stream.reader().header().message_type()) {
        case MessageType::initialize:
            serve_sync(fd, shared, context, stream);
            return;
        case MessageType::async_initialize:
            stream.reader().set_max_payload(kMaxAsyncPayload);
            serve_async(fd, shared, context, stream);
            return;
        default:
            fatal({fd, context.stop_fd}, hs::FatalErrorCode::invalid_initialization,
                  "the first message on a connection is Initialize or AsyncInitialize");
            return;
    }
}

}  // namespace sgsim::network
