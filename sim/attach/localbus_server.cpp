#include "attach/localbus_server.h"
#include "proto/usbtmc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "proto/bus_directory.h"
#include "proto/localbus_frames.h"

namespace sgsim {

namespace lb = sgproto::localbus;

namespace {

// GET_DESCRIPTOR of the device descriptor (USB 2.0, 9.4.3 and 9.6.1, Table
// 9-8), for a program's viUsbControlIn: on USB the gadget framework answers
// it, on the local bus the attachment, which knows the identity. Other
// descriptors stall; the hello carries what the host needs of them.
constexpr std::uint8_t kGetDescriptor = 6;

std::optional<std::vector<std::uint8_t>> device_descriptor(const DeviceIdentity& identity,
                                                           std::uint16_t value,
                                                           std::uint16_t length) {
    constexpr std::uint8_t kDeviceDescriptor = 1;
    if ((value >> 8) != kDeviceDescriptor || (value & 0xFF) != 0)
        return std::nullopt;
    std::vector<std::uint8_t> d = {18,
                                   kDeviceDescriptor,
                                   0x00,
                                   0x02,  // bcdUSB 2.00
                                   0,
                                   0,
                                   0,
                                   64,  // class in interface
                                   static_cast<std::uint8_t>(identity.vendor_id & 0xFF),
                                   static_cast<std::uint8_t>(identity.vendor_id >> 8),
                                   static_cast<std::uint8_t>(identity.product_id & 0xFF),
                                   static_cast<std::uint8_t>(identity.product_id >> 8),
                                   0x00,
                                   0x01,  // bcdDevice 1.00
                                   1,
                                   2,
                                   3,
                                   1};  // strings, one configuration
    if (d.size() > length)
        d.resize(length);
    return d;
}

// A connection whose unsent answers grow beyond this is not reading: it is
// no longer read from until it catches up, and dropped past the hard limit.
constexpr std::size_t kReadPauseBacklog = 256 * 1024;
constexpr std::size_t kMaxBacklog = 8 * 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// More connections than this wait in the listen backlog.
constexpr std::size_t kMaxConnections = 64;
// The bulk-IN packet size the HELLO announces (a high-speed endpoint).
constexpr std::uint16_t kMaxPacketSize = 512;
// The packets kept for the next INTERRUPT_IN are the device's own queue.
static_assert(InterruptQueue::kCapacity == lb::kKeptInterruptPackets);

bool make_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something accepts connections on the socket at `path`.
bool someone_listens(const sockaddr_un& addr) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    // EAGAIN: a listener whose backlog is full is still a listener.
    const bool alive = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return alive;
}

// True when the host at the other end of `fd` has closed it.
bool peer_hung_up(int fd) {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace

// One interrupt packet, handed to the connections that were waiting for it.
struct LocalbusServer::InterruptDelivery {
    InterruptPacket packet{};
    std::uint64_t order = 0;  // when it was taken from the device
    int unsent = 0;           // connections whose answer has not gone out in full
    bool delivered = false;   // one has
};

struct LocalbusServer::Connection {
    int fd = -1;
    bool closed = false;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    std::size_t out_pos = 0;
    bool claimed = false;
    bool waiting_claim = false;
    bool take_over = false;  // the waiting CLAIM takes the claim from its holder
    std::uint32_t claim_seq = 0;
    bool bulk_in_pending = false;
    std::uint32_t bulk_in_seq = 0;
    std::uint32_t bulk_in_max = 0;
    bool interrupt_in_pending = false;
    std::uint32_t interrupt_in_seq = 0;
    std::uint32_t interrupt_in_max = 0;
    // Interrupt packets answered, with the end of their frame in `out`,
    // until that much of `out` has been sent.
    std::vector<std::pair<std::size_t, std::shared_ptr<InterruptDelivery>>> interrupts_unsent;

    std::size_t backlog() const { return out.size() - out_pos; }
};

LocalbusServer::LocalbusServer(UsbtmcDevice& device, DeviceIdentity identity)
    : device_(device),
      identity_(std::move(identity)),
      bulk_in_fifo_(packet_shape(device.quirks(), kMaxPacketSize)) {}

LocalbusServer::~LocalbusServer() {
    for (auto& c : connections_)
        ::close(c->fd);
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        // Remove the socket only while it is still ours.
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_ino == socket_inode_)
            ::unlink(path_.c_str());
    }
}

LocalbusServer::StartResult LocalbusServer::start(std::string& error) {
    if (!sgproto::ensure_bus_directory(error))
        return StartResult::kFailed;
    path_ = sgproto::device_socket_path(sgproto::bus_directory(), identity_.vendor_id,
                                        identity_.product_id, identity_.serial);
    sockaddr_un addr;
    if (!make_address(path_, addr)) {
        error = "socket path too long: " + path_;
        return StartResult::kFailed;
    }

    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path_ + " exists and is not a socket";
            return StartResult::kFailed;
        }
        if (someone_listens(addr)) {
            error = "a device with serial " + identity_.serial + " is already running";
            return StartResult::kAlreadyRunning;
        }
        ::unlink(path_.c_str());  // stale: its simulator is gone
    }

    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return StartResult::kFailed;
    }
    // The socket is created private to the user: hosts ignore any other.
    const mode_t old_mask = ::umask(0077);
    const int bound = ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bind_errno = errno;
    ::umask(old_mask);
    if (bound != 0 || ::listen(listen_fd_, 16) != 0) {
        error = "cannot listen on " + path_ + ": " + std::strerror(bound != 0 ? bind_errno : errno);
        ::close(listen_fd_);
        listen_fd_ = -1;
        return StartResult::kFailed;
    }
    if (::lstat(path_.c_str(), &st) == 0)
        socket_inode_ = st.st_ino;
    return StartResult::kListening;
}

bool LocalbusServer::run(int stop_fd, std::string& error) {
    std::vector<pollfd> fds;
    std::unique_lock<std::mutex> hold;
    if (device_mutex_ != nullptr)
        hold = std::unique_lock<std::mutex>(*device_mutex_);
    for (;;) {
        fds.clear();
        fds.push_back({stop_fd, POLLIN, 0});
        // While it cannot take more connections it leaves them in the backlog.
        const bool accepting = !accept_paused_ && connections_.size() < kMaxConnections;
        fds.push_back({listen_fd_, static_cast<short>(accepting ? POLLIN : 0), 0});
        const auto held = [&] { return frames_held_ && frames_held_(); };
        const bool holding = held();
        for (auto& c : connections_) {
            short events = 0;
            if (c->backlog() < kReadPauseBacklog && !holding)
                events |= POLLIN;
            if (c->backlog() > 0)
                events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
        }
        const std::size_t polled = fds.size();
        if (wake_fd_ >= 0)
            fds.push_back({wake_fd_, POLLIN, 0});
        int timeout = -1;
        if (const auto ready = device_.next_ready()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*ready - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
        }
        if (hold.mutex() != nullptr)
            hold.unlock();
        const int r = ::poll(fds.data(), fds.size(), timeout);
        if (hold.mutex() != nullptr)
            hold.lock();
        if (r < 0) {
            if (errno == EINTR)
                continue;
            error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (fds[0].revents != 0)
            return true;
        if (fds[1].revents & POLLIN)
            accept_all();
        if (polled < fds.size() && fds[polled].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
        }
        // The lock may have been taken while the loop waited.
        const bool held_now = held();
        // Connections accepted just now are not in `fds`; they are served next round.
        for (std::size_t i = 2; i < polled; ++i) {
            Connection& c = *connections_[i - 2];
            if (c.closed)
                continue;
            if (fds[i].revents & POLLOUT)
                flush(c);
            if (c.closed || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            if (!held_now)
                read_from(c);
            else if (fds[i].revents & (POLLHUP | POLLERR))
                c.closed = true;
        }
        device_.advance(Clock::now());
        serve_bulk_in();
        serve_interrupts();
        // The answers of this round go out together: one write, and one
        // wake-up of the host, however many frames it sent at once.
        for (auto& c : connections_) {
            if (!c->closed && c->backlog() > 0)
                flush(*c);
        }
        drop_closed();
    }
}

void LocalbusServer::accept_all() {
    while (connections_.size() < kMaxConnections) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors or memory: wait until a connection closes.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_paused_ = true;
            return;  // EAGAIN, or a connection that went away before we took it
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        send_hello(*c);
        connections_.push_back(std::move(c));
    }
}

void LocalbusServer::send_hello(Connection& c) {
    const std::vector<std::uint8_t> names =
        lb::encode_hello_strings(identity_.serial, identity_.manufacturer, identity_.product);
    std::vector<std::uint8_t> hello(lb::kDeviceHelloSize + names.size());
    lb::DeviceHello h{};
    h.vendor_id = identity_.vendor_id;
    h.product_id = identity_.product_id;
    h.interface_number = identity_.interface_number;
    h.bulk_out_endpoint = UsbtmcDevice::kBulkOutEndpoint;
    h.bulk_in_endpoint = UsbtmcDevice::kBulkInEndpoint;
    h.interface_protocol = sgproto::usbtmc::kProtocolUsb488;
    h.max_packet_size = kMaxPacketSize;
    if (device_.has_interrupt_in()) {
        h.interrupt_in_endpoint = UsbtmcDevice::kInterruptInEndpoint;
        h.interrupt_in_packet_size = UsbtmcDevice::kInterruptInPacketSize;
    }
    lb::encode_hello(
        h, std::span<std::uint8_t, lb::kDeviceHelloSize>(hello.data(), lb::kDeviceHelloSize));
    std::copy(names.begin(), names.end(), hello.begin() + lb::kDeviceHelloSize);
    answer(c, lb::HELLO, lb::STATUS_OK, 0, hello.data(), hello.size(), lb::kDeviceHelloSize);
}

void LocalbusServer::read_from(Connection& c) {
    std::uint8_t buf[kReadChunk];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        c.closed = true;
        return;
    }
    c.in.insert(c.in.end(), buf, buf + n);

    std::size_t pos = 0;
    lb::FrameHeader h;
    while (!c.closed && lb::decode_header(std::span(c.in).subspan(pos), h)) {
        if (h.length > lb::kMaxPayload) {
            c.closed = true;  // a malformed frame ends this connection only
            break;
        }
        if (c.in.size() - pos - lb::kFrameHeaderSize < h.length)
            break;
        handle_frame(c, h.type, h.seq, h.param, c.in.data() + pos + lb::kFrameHeaderSize, h.length);
        pos += lb::kFrameHeaderSize + h.length;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));
}

void LocalbusServer::handle_frame(Connection& c, std::uint8_t type, std::uint32_t seq,
                                  std::uint32_t param, const std::uint8_t* payload,
                                  std::uint32_t length) {
    if (type == lb::CLAIM) {
        claim(c, seq, param);
        return;
    }
    if (type == lb::RELEASE) {
        release(c, seq);
        return;
    }
    // Interrupt-IN needs no claim.
    if (type == lb::INTERRUPT_IN) {
        interrupt_in(c, seq, param);
        return;
    }
    if (type == lb::CANCEL) {
        cancel(c, param);
        return;
    }
    if (type != lb::BULK_OUT && type != lb::BULK_IN && type != lb::CONTROL_IN &&
        type != lb::CONTROL_OUT && type != lb::CLEAR_HALT) {
        c.closed = true;
        return;
    }
    if (!c.claimed) {
        answer(c, type, lb::STATUS_NOT_CLAIMED, seq, nullptr, 0);
        return;
    }
    switch (type) {
        case lb::BULK_OUT: {
            const bool ok = device_.bulk_out({payload, length});
            answer(c, lb::BULK_OUT, ok ? lb::STATUS_OK : lb::STATUS_STALL, seq, nullptr, 0);
            break;
        }
        case lb::BULK_IN:
            if (c.bulk_in_pending || param == 0) {
                c.closed = true;  // at most one BULK_IN may be pending
                return;
            }
            c.bulk_in_pending = true;
            c.bulk_in_seq = seq;
            c.bulk_in_max = std::min(param, lb::kMaxPayload);
            break;
        case lb::CONTROL_IN: {
            lb::ControlSetup s;
            if (length != lb::kControlSetupSize || !lb::decode_setup({payload, length}, s)) {
                c.closed = true;
                return;
            }
            const auto data =
                s.request_type == 0x80 && s.request == kGetDescriptor
                    ? device_descriptor(identity_, s.value, s.length)
                    : device_.control_in(s.request_type, s.request, s.value, s.index, s.length);
            if (data)
                answer(c, lb::CONTROL_IN, lb::STATUS_OK, seq, data->data(), data->size());
            else
                answer(c, lb::CONTROL_IN, lb::STATUS_STALL, seq, nullptr, 0);
            break;
        }
        case lb::CONTROL_OUT: {
            lb::ControlSetup s;
            if (length < lb::kControlSetupSize ||
                !lb::decode_setup({payload, lb::kControlSetupSize}, s) ||
                length - lb::kControlSetupSize != s.length) {
                c.closed = true;
                return;
            }
            const bool ok = device_.control_out(
                s.request_type, s.request, s.value, s.index,
                {payload + lb::kControlSetupSize, length - lb::kControlSetupSize});
            answer(c, lb::CONTROL_OUT, ok ? lb::STATUS_OK : lb::STATUS_STALL, seq, nullptr, 0);
            break;
        }
        case lb::CLEAR_HALT:
            device_.clear_halt(static_cast<std::uint8_t>(param));
            answer(c, lb::CLEAR_HALT, lb::STATUS_OK, seq, nullptr, 0);
            break;
        default:
            break;
    }
    serve_bulk_in();
    serve_interrupts();
}

void LocalbusServer::interrupt_in(Connection& c, std::uint32_t seq, std::uint32_t max) {
    if (c.interrupt_in_pending || max == 0) {
        c.closed = true;  // at most one INTERRUPT_IN may be pending
        return;
    }
    if (!device_.has_interrupt_in()) {
        answer(c, lb::INTERRUPT_IN, lb::STATUS_STALL, seq, nullptr, 0);
        return;
    }
    c.interrupt_in_pending = true;
    c.interrupt_in_seq = seq;
    c.interrupt_in_max = max;
    serve_interrupts();
}

void LocalbusServer::cancel(Connection& c, std::uint32_t seq) {
    if (c.interrupt_in_pending && c.interrupt_in_seq == seq) {
        c.interrupt_in_pending = false;
        answer(c, lb::INTERRUPT_IN, lb::STATUS_CANCELLED, seq, nullptr, 0);
    }
    // Another connection's BULK_IN was never taken: nothing to cancel.
    if (c.claimed && c.bulk_in_pending && c.bulk_in_seq == seq) {
        cancel_bulk_in(c);
        grant_claims();  // a take-over may have waited for it
    }
}

void LocalbusServer::cancel_bulk_in(Connection& c) {
    c.bulk_in_pending = false;
    bulk_in_answer_.clear();
    if (owner_ == &c)
        bulk_in_fifo_.take_received(c.bulk_in_max, bulk_in_answer_);
    answer(c, lb::BULK_IN, lb::STATUS_CANCELLED, c.bulk_in_seq, bulk_in_answer_.data(),
           bulk_in_answer_.size());
}

void LocalbusServer::answer(Connection& c, std::uint8_t type, std::uint8_t status,
                            std::uint32_t seq, const std::uint8_t* payload, std::size_t length,
                            std::uint32_t param) {
    lb::FrameHeader h{};
    h.type = type;
    h.status = status;
    h.seq = seq;
    h.param = param;
    h.length = static_cast<std::uint32_t>(length);
    if (c.out_pos == c.out.size()) {
        c.out.clear();
        c.out_pos = 0;
    }
    std::array<std::uint8_t, lb::kFrameHeaderSize> header{};
    lb::encode_header(h, header);
    c.out.insert(c.out.end(), header.begin(), header.end());
    if (length > 0)
        c.out.insert(c.out.end(), payload, payload + length);
    if (c.backlog() > kMaxBacklog)
        c.closed = true;  // the host stopped reading
}

void LocalbusServer::flush(Connection& c) {
    while (c.backlog() > 0) {
        const ssize_t n =
            ::send(c.fd, c.out.data() + c.out_pos, c.backlog(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;  // poll() tells us when to go on
        if (n <= 0) {
            c.closed = true;
            break;
        }
        c.out_pos += static_cast<std::size_t>(n);
    }
    note_sent(c);
    if (c.backlog() == 0) {
        c.out.clear();
        c.out_pos = 0;
    }
}

void LocalbusServer::note_sent(Connection& c) {
    std::erase_if(c.interrupts_unsent, [&c](const auto& unsent) {
        if (unsent.first > c.out_pos)
            return false;
        unsent.second->delivered = true;
        return true;
    });
}

void LocalbusServer::serve_bulk_in() {
    if (owner_ == nullptr || owner_->closed || !owner_->bulk_in_pending)
        return;
    while (device_.has_committed())
        bulk_in_fifo_.write(std::move(*device_.take_committed()));
    std::uint8_t status = lb::STATUS_OK;
    if (device_.bulk_in_halted()) {
        status = lb::STATUS_STALL;
        bulk_in_answer_.clear();
    } else {
        while (bulk_in_fifo_.empty() || !bulk_in_fifo_.read(owner_->bulk_in_max, bulk_in_answer_)) {
            // The device cuts its transfers by the request's TransferSize, as
            // a real one does, not by the size of the host's read: what the
            // read cannot take waits in the FIFO for the next one.
            auto transfer = device_.bulk_in(lb::kMaxPayload, Clock::now());
            if (!transfer)
                return;
            if (bulk_in_fifo_.read_through(*transfer, owner_->bulk_in_max)) {
                bulk_in_answer_ = std::move(*transfer);
                break;
            }
        }
    }
    owner_->bulk_in_pending = false;
    answer(*owner_, lb::BULK_IN, status, owner_->bulk_in_seq, bulk_in_answer_.data(),
           bulk_in_answer_.size());
    grant_claims();  // a take-over may have waited for it
}

void LocalbusServer::serve_interrupts() {
    if (!device_.has_interrupt())
        return;
    // A host that has hung up reads nothing more, even if this loop has not
    // come to its end of stream yet: its INTERRUPT_IN goes with it. (Its
    // frames still in the socket are handled as they come.)
    for (auto& c : connections_) {
        if (c->interrupt_in_pending && !c->closed && peer_hung_up(c->fd))
            c->interrupt_in_pending = false;
    }
    const auto waiting = [](const std::unique_ptr<Connection>& c) {
        return !c->closed && c->interrupt_in_pending;
    };
    while (device_.has_interrupt() &&
           std::any_of(connections_.begin(), connections_.end(), waiting)) {
        auto delivery = std::make_shared<InterruptDelivery>();
        delivery->packet = *device_.take_interrupt();
        delivery->order = ++interrupts_taken_;
        const InterruptPacket& packet = delivery->packet;
        for (auto& c : connections_) {
            if (!waiting(c))
                continue;
            c->interrupt_in_pending = false;
            const std::size_t n = std::min<std::size_t>(packet.size(), c->interrupt_in_max);
            answer(*c, lb::INTERRUPT_IN, lb::STATUS_OK, c->interrupt_in_seq, packet.data(), n);
            c->interrupts_unsent.emplace_back(c->out.size(), delivery);
            ++delivery->unsent;
        }
    }
}

void LocalbusServer::claim(Connection& c, std::uint32_t seq, std::uint32_t how) {
    if (how != lb::kClaimWait && how != lb::kClaimTakeOver) {
        c.closed = true;
        return;
    }
    if (c.claimed) {
        answer(c, lb::CLAIM, lb::STATUS_OK, seq, nullptr, 0);
        return;
    }
    if (c.waiting_claim)
        return;  // its first CLAIM is answered when it is granted
    c.waiting_claim = true;
    c.take_over = how == lb::kClaimTakeOver;
    c.claim_seq = seq;
    claim_waiters_.push_back(&c);
    grant_claims();
}

void LocalbusServer::release(Connection& c, std::uint32_t seq) {
    if (c.bulk_in_pending)
        cancel_bulk_in(c);
    if (c.waiting_claim) {
        c.waiting_claim = false;
        std::erase(claim_waiters_, &c);
        answer(c, lb::CLAIM, lb::STATUS_NOT_CLAIMED, c.claim_seq, nullptr, 0);
    }
    c.claimed = false;
    if (owner_ == &c)
        owner_ = nullptr;
    answer(c, lb::RELEASE, lb::STATUS_OK, seq, nullptr, 0);
    grant_claims();
}

void LocalbusServer::grant(Connection& c) {
    if (owner_ != nullptr)
        owner_->claimed = false;  // taken over
    std::erase(claim_waiters_, &c);
    c.waiting_claim = false;
    c.claimed = true;
    owner_ = &c;
    answer(c, lb::CLAIM, lb::STATUS_OK, c.claim_seq, nullptr, 0);
}

void LocalbusServer::grant_claims() {
    // Take-overs first, in the order they came, none while the holder waits
    // for its BULK_IN's answer.
    for (;;) {
        if (owner_ != nullptr && owner_->bulk_in_pending)
            return;
        const auto next =
            std::find_if(claim_waiters_.begin(), claim_waiters_.end(),
                         [](const Connection* w) { return w->take_over && !w->closed; });
        if (next == claim_waiters_.end())
            break;
        grant(**next);
    }
    if (owner_ != nullptr)
        return;
    const auto next = std::find_if(claim_waiters_.begin(), claim_waiters_.end(),
                                   [](const Connection* w) { return !w->closed; });
    if (next != claim_waiters_.end())
        grant(**next);
}

void LocalbusServer::drop_closed() {
    // Granting the claim to a waiter may find that one gone too: repeat.
    while (std::any_of(connections_.begin(), connections_.end(),
                       [](const auto& c) { return c->closed; })) {
        bool released = false;
        std::vector<Connection*> closed;
        for (auto& c : connections_) {
            if (c->closed)
                closed.push_back(c.get());
        }
        put_back_undelivered(closed);
        for (auto& c : connections_) {
            if (!c->closed)
                continue;
            std::erase(claim_waiters_, c.get());
            if (owner_ == c.get()) {
                owner_ = nullptr;
                bulk_in_fifo_.clear();
                device_.reset();
                device_.host_gone();
                released = true;
            }
            ::close(c->fd);
        }
        std::erase_if(connections_, [](const auto& c) { return c->closed; });
        accept_paused_ = false;
        if (released)
            grant_claims();
    }
}

void LocalbusServer::put_back_undelivered(const std::vector<Connection*>& closed) {
    std::vector<std::shared_ptr<InterruptDelivery>> undelivered;
    for (Connection* c : closed) {
        for (auto& [end, delivery] : c->interrupts_unsent) {
            if (!delivery->delivered && --delivery->unsent == 0)
                undelivered.push_back(delivery);
        }
        c->interrupts_unsent.clear();
    }
    // Newest first, so that the oldest ends up in front.
    std::sort(undelivered.begin(), undelivered.end(),
              [](const auto& a, const auto& b) { return a->order > b->order; });
    for (const auto& delivery : undelivered)
        device_.put_back_interrupt(delivery->packet);
    if (!undelivered.empty())
        serve_interrupts();
}

}  // namespace sgsim
