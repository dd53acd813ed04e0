#include "hislip_transport.h"

#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "hislip_secure.h"
#include "hislip_text.h"
#include "lan/lan_transports.h"
#include "trace/trace_reason.h"

namespace sgvisa::lan {
namespace {

// Our two-character vendor ID in Initialize. The protocol takes a VPP-9
// abbreviation, which the IVI Foundation assigns to instrument and software
// makers: always two capitals. "sg" is lowercase so that no server can take
// it for any maker's, and it names this library in a server's log.
constexpr std::array<char, 2> kVendorId = {'s', 'g'};
// We offer the latest protocol: the negotiated one is the lower of the two,
// and a server that then requires encryption is refused (below), never used
// without it.
constexpr std::uint16_t kOfferedVersion = hs::kVersion20;
// Bounds of what has no VISA timeout: the clear after a cancel, the clear an
// attribute's change makes, the lock-state question after a timeout.
constexpr auto kAbortBound = std::chrono::milliseconds(1000);
constexpr auto kControlBound = std::chrono::milliseconds(2000);
constexpr auto kLockInfoBound = std::chrono::milliseconds(500);
// The most a control message on the synchronous channel carries (an error's
// words, InitializeResponse's reserved payload).
constexpr std::size_t kMaxControlPayload = 64 * 1024;

ViStatus fatal_status(std::uint8_t code) {
    switch (static_cast<hs::FatalErrorCode>(code)) {
        case hs::FatalErrorCode::too_many_clients:
            return VI_ERROR_RSRC_BUSY;
        case hs::FatalErrorCode::invalid_initialization:
            return VI_ERROR_RSRC_NFOUND;
        default:
            return VI_ERROR_IO;
    }
}

}  // namespace

HislipTransport::HislipTransport(std::unique_ptr<HislipChannel> sync,
                                 std::unique_ptr<HislipChannel> async, const HislipSession& session,
                                 LanFacts facts)
    : sync_(std::move(sync)),
      async_(std::make_unique<HislipAsyncChannel>(std::move(async))),
      session_(session),
      facts_(std::move(facts)),
      overlapped_(session.prefer_overlapped),
      overlap_wanted_(session.prefer_overlapped),
      max_message_kb_(static_cast<std::uint32_t>(session.max_from_server / 1024)) {}

HislipTransport::~HislipTransport() {
    // The reader stops first (its destructor), then the connections close:
    // the server drops the session and any lock it held with them.
    async_.reset();
}

void HislipTransport::cancel() {
    cancel_.cancel();
    async_->wake();
}

std::uint32_t HislipTransport::take_message_id() {
    const std::uint32_t id = next_id_;
    next_id_ = hs::next_message_id(next_id_);
    last_sent_ = id;
    return id;
}

ViStatus HislipTransport::async_call(hs::MessageType type, std::uint8_t control,
                                     std::uint32_t parameter, std::span<const std::uint8_t> payload,
                                     hs::MessageType answer, Deadline deadline,
                                     HislipAsyncChannel::Message& out) {
    const ViStatus st =
        async_->transact(type, control, parameter, payload, answer, deadline, &cancel_, out);
    if (st != VI_SUCCESS)
        return st;
    if (out.header.message_type() == hs::MessageType::error)
        return server_error(out.header, out.payload);
    return VI_SUCCESS;
}

ViStatus HislipTransport::server_error(const hs::Header& h, std::span<const std::uint8_t> words) {
    trace::note_reason(
        [&] { return "the instrument answered with HiSLIP " + hislip_error_words(h, words); });
    return h.message_type() == hs::MessageType::fatal_error ? fatal_status(h.control) : VI_ERROR_IO;
}

ViStatus HislipTransport::failure(ViStatus st) {
    if (st == VI_ERROR_ABORT || (st == VI_ERROR_TMO && cancel_.cancelled())) {
        // A cancelled read or write: the device is cleared, so that the next
        // command finds it ready and no reply of the abandoned one.
        (void)device_clear(Clock::now() + kAbortBound);
        return VI_ERROR_ABORT;
    }
    if (st == VI_ERROR_TMO && device_locks_ == 0) {
        // The server keeps our messages queued while another client holds
        // its lock: that is the lock's doing, not a slow instrument's.
        HislipAsyncChannel::Message m;
        if (async_->transact(hs::MessageType::async_lock_info, 0, 0, {},
                             hs::MessageType::async_lock_info_response,
                             Clock::now() + kLockInfoBound, nullptr, m) == VI_SUCCESS &&
            m.header.message_type() == hs::MessageType::async_lock_info_response &&
            m.header.parameter > 0) {
            trace::note_reason(
                [] { return std::string("another client holds the instrument's lock"); });
            return VI_ERROR_RSRC_LOCKED;
        }
    }
    if (st == VI_ERROR_CONN_LOST && async_->lost() && !async_->fatal_words().empty())
        trace::note_reason(
            [&] { return "the instrument ended the HiSLIP session: " + async_->fatal_words(); });
    return st;
}

ViStatus HislipTransport::send(std::span<const std::uint8_t> data, bool end, Deadline deadline) {
    std::unique_lock lock(sync_mutex_, std::defer_lock);
    if (const ViStatus turn = take_sync_turn(lock, deadline); turn != VI_SUCCESS)
        return turn;
    // A new message: what is left of the reply is dropped (the channel
    // skips it), as the instrument drops it.
    in_reply_ = false;
    // Each message, header included, fits what the server takes.
    const std::uint64_t most = session_.max_to_server;
    const std::size_t piece_most = most > hs::kHeaderSize
                                       ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                             most - hs::kHeaderSize, std::size_t{1} << 30))
                                       : 1;
    std::size_t at = 0;
    do {
        const std::size_t piece = std::min(data.size() - at, piece_most);
        const bool last = at + piece == data.size();
        const auto type = last && end ? hs::MessageType::data_end : hs::MessageType::data;
        const ViStatus st = sync_->send(type, take_rmt_delivered(), take_message_id(),
                                        data.subspan(at, piece), deadline, cancel_.fd());
        if (st != VI_SUCCESS)
            return failure(st);
        at += piece;
    } while (at < data.size());
    return VI_SUCCESS;
}

ViStatus HislipTransport::receive(std::span<std::uint8_t> buf, const ReadStop& stop,
                                  Deadline deadline, ReadResult& result) {
    result = ReadResult{};
    std::unique_lock lock(sync_mutex_, std::defer_lock);
    if (const ViStatus turn = take_sync_turn(lock, deadline); turn != VI_SUCCESS)
        return turn;
    std::size_t count = 0;
    while (count < buf.size()) {
        if (!in_reply_) {
            hs::Header h;
            const ViStatus st = sync_->read_header(h, deadline, cancel_.fd());
            if (st != VI_SUCCESS) {
                result.count = count;
                return failure(st);
            }
            switch (h.message_type()) {
                case hs::MessageType::data:
                case hs::MessageType::data_end:
                    break;
                case hs::MessageType::error:
                case hs::MessageType::fatal_error: {
                    std::vector<std::uint8_t> words;
                    (void)sync_->read_payload(words, kMaxControlPayload, deadline, -1);
                    trace::note_reason([&] {
                        return "the instrument answered with HiSLIP " +
                               hislip_error_words(h, words);
                    });
                    result.count = count;
                    return h.message_type() == hs::MessageType::fatal_error
                               ? fatal_status(h.control)
                               : VI_ERROR_IO;
                }
                case hs::MessageType::interrupted:
                    // The server dropped a reply because a newer message came:
                    // its Data had our older MessageID and is dropped below.
                    continue;
                default:
                    if (!hs::known_type(h.type))
                        (void)sync_->send(hs::MessageType::error,
                                          static_cast<std::uint8_t>(
                                              h.type >= hs::kFirstVendorSpecific
                                                  ? hs::ErrorCode::unrecognized_vendor_message
                                                  : hs::ErrorCode::unrecognized_message_type),
                                          0, std::string_view("not expected here"), deadline, -1);
                    continue;  // skipped with its payload
            }
            if (h.length > session_.max_from_server) {
                // Streamed, it would fit; but the server broke the size we
                // gave it, and says so to it.
                (void)sync_->send(hs::MessageType::error,
                                  static_cast<std::uint8_t>(hs::ErrorCode::message_too_large), 0,
                                  std::string_view("larger than AsyncMaximumMessageSize"), deadline,
                                  -1);
                trace::note_reason([&] {
                    return "the instrument sent a HiSLIP message of " + std::to_string(h.length) +
                           " bytes, over the " + std::to_string(session_.max_from_server) +
                           " it was told it may send";
                });
                result.count = count;
                return VI_ERROR_IO;
            }
            if (!overlapped_ && h.parameter != last_sent_ &&
                !(h.message_type() == hs::MessageType::data &&
                  h.parameter == hs::kMessageIdUnknown)) {
                // The reply to a message we gave up on (a query that timed
                // out): never the next read's.
                ++stale_;
                continue;
            }
            in_reply_ = true;
            reply_ = h;
        }
        std::size_t got = 0;
        ViStatus st = VI_SUCCESS;
        if (sync_->payload_left() > 0)
            st = sync_->read_payload_some(buf.subspan(count), deadline, cancel_.fd(), got);
        const std::size_t from = count;
        count += got;
        if (sync_->payload_left() == 0) {
            in_reply_ = false;
            if (reply_.message_type() == hs::MessageType::data_end) {
                result.end = true;
                rmt_due_ = true;
                last_delivered_ = reply_.parameter;
                break;
            }
        }
        if (st != VI_SUCCESS) {
            result.count = count;
            return failure(st);
        }
        // The Transport cuts the read after the character and keeps the rest.
        if (stop.term_char_enabled &&
            std::find(buf.begin() + static_cast<std::ptrdiff_t>(from),
                      buf.begin() + static_cast<std::ptrdiff_t>(count),
                      stop.term_char) != buf.begin() + static_cast<std::ptrdiff_t>(count))
            break;
    }
    result.count = count;
    return VI_SUCCESS;
}

ViStatus HislipTransport::device_clear(Deadline deadline) {
    in_reply_ = false;
    HislipAsyncChannel::Message m;
    ViStatus st =
        async_->transact(hs::MessageType::async_device_clear, 0, 0, {},
                         hs::MessageType::async_device_clear_acknowledge, deadline, nullptr, m);
    if (st == VI_SUCCESS && m.header.message_type() == hs::MessageType::error)
        st = server_error(m.header, m.payload);
    if (st != VI_SUCCESS) {
        if (st == VI_ERROR_TMO)
            trace::note_reason([] {
                return std::string(
                    "the instrument did not acknowledge the device clear "
                    "(AsyncDeviceClearAcknowledge) in time");
            });
        return st;
    }
    // The mode the program asked for (by default the server's preference
    // at the open).
    const std::uint8_t features = overlap_wanted_ ? hs::kFeatureOverlapped : 0;
    st = sync_->send(hs::MessageType::device_clear_complete, features, 0,
                     std::span<const std::uint8_t>{}, deadline, -1);
    // The server drops what it had queued for us; what it sent before is
    // skipped here. DeviceClearAcknowledge comes on the synchronous channel:
    // the clear's transaction puts it there, behind whatever the server sent
    // on that channel before, which is how both sides know the channel is
    // empty; the protocol's summary table says asynchronous, which no
    // client or server we know follows.
    while (st == VI_SUCCESS) {
        hs::Header h;
        st = sync_->read_header(h, deadline, -1);
        if (st != VI_SUCCESS)
            break;
        if (h.message_type() == hs::MessageType::fatal_error) {
            std::vector<std::uint8_t> words;
            (void)sync_->read_payload(words, kMaxControlPayload, deadline, -1);
            trace::note_reason([&] {
                return "the instrument ended the HiSLIP session: " + hislip_error_words(h, words);
            });
            return fatal_status(h.control);
        }
        if (h.message_type() != hs::MessageType::device_clear_acknowledge)
            continue;
        overlapped_ = (h.control & hs::kFeatureOverlapped) != 0;
        next_id_ = hs::kFirstMessageId;
        last_sent_ = hs::kMessageIdBeforeFirst;
        last_delivered_ = hs::kMessageIdBeforeFirst;
        rmt_due_ = false;
        return VI_SUCCESS;
    }
    if (st == VI_ERROR_TMO)
        trace::note_reason([] {
            return std::string(
                "the instrument did not end the device clear (DeviceClearAcknowledge) in time");
        });
    return st;
}

ViStatus HislipTransport::take_sync_turn(std::unique_lock<std::timed_mutex>& lock,
                                         Deadline deadline) {
    if (!lock.try_lock_until(deadline))
        return VI_ERROR_TMO;
    return cancel_.cancelled() ? VI_ERROR_ABORT : VI_SUCCESS;
}

ViStatus HislipTransport::clear_device(Deadline deadline) {
    std::unique_lock lock(sync_mutex_, std::defer_lock);
    if (const ViStatus turn = take_sync_turn(lock, deadline); turn != VI_SUCCESS)
        return turn;
    return device_clear(deadline);
}

ViStatus HislipTransport::read_status_byte(Deadline deadline, std::uint8_t& status) {
    // Synchronized mode: the server's MAV follows RMT-delivered and our
    // latest message; overlapped: it compares the MessageID of the last
    // reply handed over whole with what it has sent.
    const std::uint32_t id = overlapped_ ? last_delivered_.load() : last_sent_.load();
    HislipAsyncChannel::Message m;
    const ViStatus st = async_call(hs::MessageType::async_status_query, take_rmt_delivered(), id,
                                   {}, hs::MessageType::async_status_response, deadline, m);
    if (st != VI_SUCCESS)
        return st;
    status = m.header.control;
    return VI_SUCCESS;
}

ViStatus HislipTransport::assert_trigger(Deadline deadline) {
    std::unique_lock lock(sync_mutex_, std::defer_lock);
    if (const ViStatus turn = take_sync_turn(lock, deadline); turn != VI_SUCCESS)
        return turn;
    in_reply_ = false;
    const ViStatus st =
        sync_->send(hs::MessageType::trigger, take_rmt_delivered(), take_message_id(),
                    std::span<const std::uint8_t>{}, deadline, cancel_.fd());
    return st == VI_SUCCESS ? st : failure(st);
}

ViStatus HislipTransport::control_remote(ViUInt16 mode, Deadline deadline) {
    // The control codes are the VI_GPIB_REN_* modes' order.
    std::uint8_t code = 0;
    switch (mode) {
        case VI_GPIB_REN_DEASSERT:
            code = 0;
            break;
        case VI_GPIB_REN_ASSERT:
            code = 1;
            break;
        case VI_GPIB_REN_DEASSERT_GTL:
            code = 2;
            break;
        case VI_GPIB_REN_ASSERT_ADDRESS:
            code = 3;
            break;
        case VI_GPIB_REN_ASSERT_LLO:
            code = 4;
            break;
        case VI_GPIB_REN_ASSERT_ADDRESS_LLO:
            code = 5;
            break;
        case VI_GPIB_REN_ADDRESS_GTL:
            code = 6;
            break;
        default:
            return VI_ERROR_INV_MODE;
    }
    HislipAsyncChannel::Message m;
    return async_call(hs::MessageType::async_remote_local_control, code, last_sent_, {},
                      hs::MessageType::async_remote_local_response, deadline, m);
}

ViStatus HislipTransport::lock_device(Deadline deadline, const std::string& shared_key) {
    const auto ms = static_cast<std::uint32_t>(ms_until(deadline));
    HislipAsyncChannel::Message m;
    // The server waits up to `ms` itself; its answer is awaited a little
    // longer. An empty key asks for the exclusive lock.
    const Deadline answer_by = deadline == Deadline::max()
                                   ? deadline
                                   : Clock::now() + std::chrono::milliseconds(ms) + kControlBound;
    const ViStatus st =
        async_call(hs::MessageType::async_lock, hs::kLockRequest, ms,
                   {reinterpret_cast<const std::uint8_t*>(shared_key.data()), shared_key.size()},
                   hs::MessageType::async_lock_response, answer_by, m);
    if (st != VI_SUCCESS)
        return st;
    switch (static_cast<hs::LockResult>(m.header.control)) {
        case hs::LockResult::success:
            ++device_locks_;
            return VI_SUCCESS;
        case hs::LockResult::failure:
            trace::note_reason(
                [] { return std::string("another client kept the instrument's lock"); });
            return VI_ERROR_RSRC_LOCKED;
        default:
            trace::note_reason([] {
                return std::string(
                    "the instrument refused the lock request (AsyncLockResponse error)");
            });
            return VI_ERROR_IO;
    }
}

ViStatus HislipTransport::unlock_device(Deadline deadline) {
    HislipAsyncChannel::Message m;
    // Released once our latest message has been processed.
    const ViStatus st = async_call(hs::MessageType::async_lock, hs::kLockRelease, last_sent_, {},
                                   hs::MessageType::async_lock_response, deadline, m);
    if (device_locks_ > 0)
        --device_locks_;
    if (st != VI_SUCCESS)
        return st;
    const auto r = static_cast<hs::LockResult>(m.header.control);
    return r == hs::LockResult::success || r == hs::LockResult::success_shared ? VI_SUCCESS
                                                                               : VI_ERROR_IO;
}

ViStatus HislipTransport::device_lock_state(Deadline deadline, ViAccessMode& state) {
    HislipAsyncChannel::Message m;
    const ViStatus st = async_call(hs::MessageType::async_lock_info, 0, 0, {},
                                   hs::MessageType::async_lock_info_response, deadline, m);
    if (st != VI_SUCCESS)
        return st;
    // The control code: an exclusive lock is granted; the parameter: how
    // many clients hold a lock.
    state = (m.header.control & hs::kExclusiveLockGranted) != 0 ? VI_EXCLUSIVE_LOCK
            : m.header.parameter > 0                            ? VI_SHARED_LOCK
                                                                : VI_NO_LOCK;
    return VI_SUCCESS;
}

ViStatus HislipTransport::listen_for_service_requests(std::function<void(std::uint8_t)> listener) {
    async_->set_listener(std::move(listener));
    return VI_SUCCESS;
}

ViStatus HislipTransport::set_interface_attribute(ViAttr attr, ViAttrState value) {
    switch (attr) {
        case VI_ATTR_TCPIP_HISLIP_OVERLAP_EN: {
            if (value != VI_TRUE && value != VI_FALSE)
                return VI_ERROR_NSUP_ATTR_STATE;
            const bool want = value == VI_TRUE;
            overlap_wanted_ = want;
            if (overlapped_ == want)
                return VI_SUCCESS;
            // The mode changes only at a device clear.
            const Deadline bound = Clock::now() + kControlBound;
            std::unique_lock lock(sync_mutex_, std::defer_lock);
            if (!lock.try_lock_until(bound))
                return VI_ERROR_TMO;
            discard_unread();
            const ViStatus st = device_clear(bound);
            if (st != VI_SUCCESS)
                return st;
            return overlapped_ == want ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
        }
        case VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB: {
            if (value == 0 || value > 0xFFFFFFFFu)
                return VI_ERROR_NSUP_ATTR_STATE;
            const std::uint64_t bytes = static_cast<std::uint64_t>(value) * 1024;
            const auto payload = hs::encode_u64(bytes);
            HislipAsyncChannel::Message m;
            const ViStatus st =
                async_call(hs::MessageType::async_maximum_message_size, 0, 0, payload,
                           hs::MessageType::async_maximum_message_size_response,
                           Clock::now() + kControlBound, m);
            std::uint64_t to_server = 0;
            if (st != VI_SUCCESS)
                return st;
            if (!hs::decode_u64(m.payload, to_server) || to_server == 0)
                return VI_ERROR_IO;
            std::lock_guard lock(sync_mutex_);
            session_.max_from_server = bytes;
            session_.max_to_server = to_server;
            max_message_kb_ = static_cast<std::uint32_t>(value);
            return VI_SUCCESS;
        }
        case VI_ATTR_TCPIP_KEEPALIVE:
            if (value != VI_TRUE && value != VI_FALSE)
                return VI_ERROR_NSUP_ATTR_STATE;
            if (!sync_->connection().set_keepalive(value == VI_TRUE))
                return VI_ERROR_SYSTEM_ERROR;
            keepalive_ = value == VI_TRUE;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_HISLIP_VERSION:
            return VI_ERROR_ATTR_READONLY;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus HislipTransport::get_interface_attribute(ViAttr attr, ViAttrState& value) const {
    switch (attr) {
        case VI_ATTR_TCPIP_HISLIP_OVERLAP_EN:
            value = overlapped_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_HISLIP_VERSION:
            // As a ViVersion: major in bits 31-20, minor in 19-8.
            value = static_cast<ViAttrState>(session_.version >> 8) << 20 |
                    static_cast<ViAttrState>(session_.version & 0xFF) << 8;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB:
            value = max_message_kb_;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_KEEPALIVE:
            value = keepalive_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

}  // namespace sgvisa::lan

namespace sgvisa::lan {
namespace {

// The payload of a control message received while opening: its words, or
// nothing when there are too many.
std::vector<std::uint8_t> control_payload(HislipChannel& c, Deadline deadline) {
    std::vector<std::uint8_t> words;
    (void)c.read_payload(words, kMaxControlPayload, deadline, -1);
    return words;
}

// Waits for `answer` on `c` while opening: a FatalError or an Error instead
// is the server's refusal, in its words. A service request may come on the
// asynchronous channel as soon as it is initialized, before the answer:
// nobody listens yet, so it is passed over, as one is later without a
// listener.
ViStatus expect(HislipChannel& c, hs::MessageType answer, Deadline deadline, hs::Header& h,
                std::vector<std::uint8_t>& payload) {
    ViStatus st = c.read_header(h, deadline, -1);
    while (st == VI_SUCCESS && answer != hs::MessageType::async_service_request &&
           (h.message_type() == hs::MessageType::async_service_request ||
            h.message_type() == hs::MessageType::async_interrupted)) {
        payload = control_payload(c, deadline);
        st = c.read_header(h, deadline, -1);
    }
    if (st == VI_ERROR_CONN_LOST) {
        trace::note_reason([&] {
            return std::string("the HiSLIP server closed the ") + c.name() +
                   " channel while the session opened: it may take one client at a time";
        });
        return VI_ERROR_RSRC_BUSY;
    }
    if (st != VI_SUCCESS)
        return st;
    payload = control_payload(c, deadline);
    if (h.message_type() == hs::MessageType::fatal_error ||
        h.message_type() == hs::MessageType::error) {
        trace::note_reason([&] {
            return "the HiSLIP server refused the session: " + hislip_error_words(h, payload);
        });
        return h.message_type() == hs::MessageType::fatal_error ? fatal_status(h.control)
                                                                : VI_ERROR_IO;
    }
    if (h.message_type() != answer) {
        trace::note_reason([&] {
            return "the HiSLIP server answered with " + std::string(hs::type_name(h.type)) +
                   " where " + std::string(hs::type_name(static_cast<std::uint8_t>(answer))) +
                   " was due";
        });
        return VI_ERROR_IO;
    }
    return VI_SUCCESS;
}

// "hislip0,4881" → sub-address "hislip0", port 4881.
bool split_device(const std::string& device, std::string& sub_address, std::uint16_t& port) {
    const auto comma = device.find(',');
    sub_address = device.substr(0, comma);
    port = hs::kDefaultPort;
    if (comma == std::string::npos)
        return true;
    unsigned value = 0;
    const std::string_view text = std::string_view(device).substr(comma + 1);
    const auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || at != text.data() + text.size() || value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

ViStatus open_hislip_transport(const std::string& host, const std::string& device,
                               Deadline deadline, std::unique_ptr<Transport>& out,
                               const HislipOptions& options) {
    std::string sub_address;
    std::uint16_t port = 0;
    if (!split_device(device, sub_address, port) || sub_address.size() > hs::kMaxSubAddress)
        return VI_ERROR_INV_RSRC_NAME;
    // The credentials first: a name that cannot be served securely fails
    // before anything goes on the wire.
    SecureLogin login;
    if (options.secure) {
        const ViStatus st = load_secure_login(options.credential, login);
        if (st != VI_SUCCESS)
            return st;
    }
    std::vector<HostAddress> addresses;
    ViStatus st = resolve_host(host, deadline, addresses);
    if (st != VI_SUCCESS)
        return st;
    std::unique_ptr<TcpConnection> c;
    st = TcpConnection::connect(addresses, port, deadline, c);
    if (st != VI_SUCCESS)
        return st;
    // The asynchronous channel goes to the very address that answered.
    std::vector<HostAddress> peer(1);
    peer[0].addr = c->peer();
    peer[0].length =
        peer[0].addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    LanFacts facts;
    facts.address = address_text(c->peer());
    facts.hostname = is_address_literal(host) ? std::string() : host;
    facts.port = port;
    facts.device_name = sub_address;
    facts.is_hislip = true;
    auto sync = std::make_unique<HislipChannel>(std::move(c), "sync");

    st = sync->send(hs::MessageType::initialize, 0,
                    hs::encode_initialize({kOfferedVersion, kVendorId}), sub_address, deadline, -1);
    hs::Header h;
    std::vector<std::uint8_t> payload;
    if (st == VI_SUCCESS)
        st = expect(*sync, hs::MessageType::initialize_response, deadline, h, payload);
    if (st != VI_SUCCESS)
        return st;
    const hs::InitializeResponse init = hs::decode_initialize_response(h.control, h.parameter);
    if (!options.secure && init.version >= hs::kVersion20 &&
        (init.encryption_mandatory || init.initial_encryption)) {
        // Never used without the encryption it requires.
        trace::note_reason([&] {
            return "the HiSLIP server requires an encrypted connection: open it by a secure "
                   "name, TCPIP::@" +
                   host + "::" + device + "::INSTR (or cred@" + host + " to log in)";
        });
        return VI_ERROR_NSUP_OPER;
    }

    std::unique_ptr<TcpConnection> a;
    st = TcpConnection::connect(peer, port, deadline, a);
    if (st != VI_SUCCESS)
        return st;
    auto async = std::make_unique<HislipChannel>(std::move(a), "async");
    st = async->send(hs::MessageType::async_initialize, 0, init.session_id,
                     std::span<const std::uint8_t>{}, deadline, -1);
    if (st == VI_SUCCESS)
        st = expect(*async, hs::MessageType::async_initialize_response, deadline, h, payload);
    if (st != VI_SUCCESS)
        return st;
    if (options.secure) {
        const bool capable =
            init.version >= hs::kVersion20 && (h.control & hs::kSecureConnectionCapable) != 0;
        st = make_hislip_secure(*sync, *async, capable, host, login, deadline, facts);
        if (st != VI_SUCCESS)
            return st;
    }

    // What the server may send us (the read side's bound), and in its
    // answer, what we may send it: two directions, two numbers.
    HislipSession session;
    session.version = std::min(init.version, kOfferedVersion);
    session.prefer_overlapped = init.prefer_overlapped;
    session.max_from_server = std::uint64_t{options.max_message_kb} * 1024;
    const auto size = hs::encode_u64(session.max_from_server);
    st = async->send(hs::MessageType::async_maximum_message_size, 0, 0, size, deadline, -1);
    if (st == VI_SUCCESS)
        st = expect(*async, hs::MessageType::async_maximum_message_size_response, deadline, h,
                    payload);
    if (st != VI_SUCCESS)
        return st;
    if (!hs::decode_u64(payload, session.max_to_server) ||
        session.max_to_server <= hs::kHeaderSize) {
        trace::note_reason(
            [] { return std::string("the HiSLIP server's maximum message size does not decode"); });
        return VI_ERROR_IO;
    }
    out = std::make_unique<HislipTransport>(std::move(sync), std::move(async), session,
                                            std::move(facts));
    return VI_SUCCESS;
}

}  // namespace sgvisa::lan
