#include "rogue_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>

#include "in_process_sim.h"
#include "proto/bus_directory.h"
#include "proto/localbus_frames.h"
#include "proto/usbtmc.h"

namespace sgtest {
namespace {

namespace lb = sgproto::localbus;
namespace tmc = sgproto::usbtmc;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVendor = 0x4d19;
constexpr std::uint16_t kProduct = 0x0040;
// Junk frames queued at a time while flooding; a large send buffer lets the
// host find many of them already received, as the device that found the
// fault did.
constexpr int kJunkBatch = 256;
constexpr int kSendBuffer = 4 << 20;

void append(Bytes& to, std::uint8_t type, std::uint8_t status, std::uint32_t seq,
            std::uint32_t param, const Bytes& payload) {
    const Bytes frame = lb::encode_frame(type, status, seq, param, payload);
    to.insert(to.end(), frame.begin(), frame.end());
}

// Takes one whole frame off the front of `rx`; false when there is none yet.
bool take_frame(Bytes& rx, lb::FrameHeader& h, Bytes& frame) {
    if (!lb::decode_header(rx, h) || rx.size() < lb::kFrameHeaderSize + h.length)
        return false;
    const auto end = rx.begin() + static_cast<std::ptrdiff_t>(lb::kFrameHeaderSize + h.length);
    frame.assign(rx.begin(), end);
    rx.erase(rx.begin(), end);
    return true;
}

// Reads what `fd` has into `rx`; false at its end.
bool drain(int fd, Bytes& rx) {
    std::uint8_t buf[16 * 1024];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        rx.insert(rx.end(), buf, buf + n);
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

// Sends what it can of `tx` without waiting; false when the peer is gone.
bool push(int fd, Bytes& tx) {
    if (tx.empty())
        return true;
    const ssize_t n = ::send(fd, tx.data(), tx.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
        tx.erase(tx.begin(), tx.begin() + n);
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

// A DEV_DEP_MSG_IN transfer of `size` 'x' bytes without EOM, padded to 4.
Bytes endless_transfer(std::uint8_t tag, std::uint32_t size) {
    Bytes t(tmc::kHeaderSize + size, 'x');
    t[0] = tmc::DEV_DEP_MSG_IN;
    t[1] = tag;
    t[2] = static_cast<std::uint8_t>(~tag);
    t[3] = 0;
    for (int i = 0; i < 4; ++i)
        t[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    std::fill(t.begin() + 8, t.begin() + 12, 0);  // bmTransferAttributes: no EOM
    t.resize((t.size() + 3) & ~std::size_t{3}, 0);
    return t;
}

}  // namespace

RogueDevice::RogueDevice(const std::string& serial, Misdeed misdeed)
    : serial_(serial), misdeed_(misdeed) {
    std::string error;
    if (!sgproto::ensure_bus_directory(error))
        throw std::runtime_error(error);
    sim_ = std::make_unique<InProcessSim>(serial);
    path_ = sim_->socket_path();
    aside_ = sgproto::bus_directory() + "/rogue-relay-" + serial + ".sock";
    if (::rename(path_.c_str(), aside_.c_str()) != 0)
        throw std::runtime_error("cannot move the simulator's socket aside");
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (listen_fd_ < 0 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path_.c_str(), 0600) != 0 || ::listen(listen_fd_, 16) != 0)
        throw std::runtime_error("cannot listen at the device's socket");
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    acceptor_ = std::thread([this] { accept_loop(); });
}

RogueDevice::~RogueDevice() {
    stop();
    ::close(stop_fd_);
    ::unlink(aside_.c_str());
}

std::string RogueDevice::resource_name() const {
    char name[128];
    std::snprintf(name, sizeof name, "USB0::0x%04x::0x%04x::%s::INSTR", kVendor, kProduct,
                  serial_.c_str());
    return name;
}

void RogueDevice::set_misdeed(Misdeed misdeed) {
    std::lock_guard lock(mutex_);
    misdeed_ = misdeed;
}

Misdeed RogueDevice::misdeed() const {
    std::lock_guard lock(mutex_);
    return misdeed_;
}

std::size_t RogueDevice::requests(std::uint8_t type) const {
    std::lock_guard lock(mutex_);
    const auto it = requests_.find(type);
    return it == requests_.end() ? 0 : it->second;
}

bool RogueDevice::wait_requests(std::uint8_t type, std::size_t count,
                                std::chrono::milliseconds within) const {
    std::unique_lock lock(mutex_);
    return counted_.wait_for(lock, within, [&] {
        const auto it = requests_.find(type);
        return it != requests_.end() && it->second >= count;
    });
}

void RogueDevice::count(std::uint8_t type) {
    std::lock_guard lock(mutex_);
    ++requests_[type];
    counted_.notify_all();
}

void RogueDevice::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(stop_fd_, &one, sizeof one);
    acceptor_.join();
    for (auto& t : threads_)
        t.join();
    ::close(listen_fd_);
    ::unlink(path_.c_str());
    sim_.reset();
}

void RogueDevice::accept_loop() {
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents != 0)
            return;
        if ((p[0].revents & POLLIN) == 0)
            continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0)
            threads_.emplace_back([this, fd] { relay(fd); });
    }
}

// One host connection: relayed to a connection of its own to the simulator.
void RogueDevice::relay(int host) {
    const int sim = raw_connect(aside_);
    ::setsockopt(host, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    if (sim >= 0)
        ::fcntl(sim, F_SETFL, ::fcntl(sim, F_GETFL) | O_NONBLOCK);
    Bytes from_host, from_sim, to_host, to_sim, frame;
    bool interrupt_connection = false;
    bool first = true;
    bool flooding = false;
    std::uint32_t last_seq = 0;
    std::uint8_t reply_tag = 0;
    std::uint32_t reply_size = 0;
    bool replying = false;                 // an endless reply is asked for
    std::set<std::uint32_t> answered_ins;  // INTERRUPT_INs and BULK_INs answered here
    for (bool open = sim >= 0; open;) {
        const bool want_out = !to_host.empty() || flooding;
        pollfd p[3] = {{stop_fd_, POLLIN, 0},
                       {host, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                       {sim, static_cast<short>(POLLIN | (to_sim.empty() ? 0 : POLLOUT)), 0}};
        if (::poll(p, 3, -1) < 0 && errno != EINTR)
            break;
        if (p[0].revents != 0)
            break;
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !drain(host, from_host))
            break;
        if ((p[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !drain(sim, from_sim))
            break;
        lb::FrameHeader h{};
        while (take_frame(from_host, h, frame)) {
            count(h.type);
            const Misdeed m = misdeed();
            if (first)
                interrupt_connection = h.type == lb::INTERRUPT_IN;
            first = false;
            last_seq = h.seq;
            flooding =
                interrupt_connection ? m == Misdeed::flood_interrupt : m == Misdeed::flood_answers;
            const Bytes payload(frame.begin() + lb::kFrameHeaderSize, frame.end());
            if (interrupt_connection && m == Misdeed::flood_interrupt)
                continue;  // nothing answered there, a CANCEL neither
            if (m == Misdeed::silent_claim && h.type == lb::CLAIM)
                continue;
            if (m == Misdeed::request_storm && h.type == lb::INTERRUPT_IN) {
                append(to_host, lb::INTERRUPT_IN, lb::STATUS_OK, h.seq, 0, Bytes{0x81, 0x40});
                answered_ins.insert(h.seq);
                continue;
            }
            if (m == Misdeed::endless_reply && h.type == lb::BULK_OUT && payload.size() >= 8 &&
                payload[0] == tmc::REQUEST_DEV_DEP_MSG_IN) {
                replying = true;
                reply_tag = payload[1];
                reply_size = static_cast<std::uint32_t>(payload[4] | payload[5] << 8 |
                                                        payload[6] << 16 | payload[7] << 24);
                append(to_host, lb::BULK_OUT, lb::STATUS_OK, h.seq, 0, {});
                continue;
            }
            if (m == Misdeed::endless_reply && replying && h.type == lb::BULK_IN &&
                h.param >= tmc::kHeaderSize + 4) {
                const std::uint32_t room = (h.param - tmc::kHeaderSize) & ~3u;
                append(to_host, lb::BULK_IN, lb::STATUS_OK, h.seq, 0,
                       endless_transfer(reply_tag, std::min(room, reply_size)));
                answered_ins.insert(h.seq);
                continue;
            }
            if (h.type == lb::CANCEL && answered_ins.count(h.param) != 0)
                continue;  // answered already: a CANCEL gets no answer
            to_sim.insert(to_sim.end(), frame.begin(), frame.end());
        }
        while (take_frame(from_sim, h, frame))
            to_host.insert(to_host.end(), frame.begin(), frame.end());
        if (flooding && to_host.empty()) {
            for (int i = 0; i < kJunkBatch; ++i) {
                // Seqs of the requests to come, with a type they never have.
                const std::uint8_t type = interrupt_connection ? lb::BULK_IN : lb::INTERRUPT_IN;
                append(to_host, type, lb::STATUS_OK, last_seq + 1 + i % 4, 0, {});
            }
        }
        open = push(host, to_host) && push(sim, to_sim);
    }
    if (sim >= 0)
        ::close(sim);
    ::close(host);
}

}  // namespace sgtest
