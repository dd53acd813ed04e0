#include "srq_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>

#include "proto/oncrpc.h"
#include "proto/rpc_record.h"
#include "proto/vxi11.h"
#include "transport/process_descriptors.h"

namespace sgvisa::lan {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;

namespace {

// A device_intr_srq call is a call header with empty credentials (40
// bytes) and a handle of at most 40 bytes; allow credentials too.
constexpr std::size_t kMaxSrqRecord = 1024;
// The instrument connects once per core channel; a few more are tolerated
// (one that reconnects before closing the old), the rest closed at once.
constexpr std::size_t kMaxConnections = 4;

struct Peer {
    int fd;
    rpc::RecordReader reader{kMaxSrqRecord};
};

}  // namespace

struct SrqServer::State {
    int listen_fd = -1;
    int stop_fd = -1;
    std::uint16_t port = 0;
    std::vector<std::uint8_t> handle;
    std::mutex mutex;  // the listener; held only to copy or replace it
    Listener listener;
    std::thread thread;
    std::vector<Peer> peers;

    ~State() {
        for (const Peer& p : peers)
            close_process_descriptor(p.fd);
        if (listen_fd >= 0)
            close_process_descriptor(listen_fd);
        if (stop_fd >= 0)
            close_process_descriptor(stop_fd);
    }

    void deliver() {
        Listener call;
        {
            std::lock_guard lock(mutex);
            call = listener;
        }
        if (call)
            call();
    }

    // Takes what `peer` sent; false when its connection is to be closed.
    bool take(Peer& peer) {
        std::uint8_t buf[512];
        const ssize_t n = ::recv(peer.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        rpc::ByteView in(buf, static_cast<std::size_t>(n));
        while (!in.empty()) {
            std::size_t taken = 0;
            const auto status = peer.reader.feed(in, taken);
            in = in.subspan(taken);
            if (status == rpc::RecordReader::Status::too_large)
                return false;
            if (status == rpc::RecordReader::Status::record) {
                if (is_srq_call(peer.reader.record(), handle))
                    deliver();
                peer.reader.next();
            } else if (is_srq_call(peer.reader.partial(), handle)) {
                // The call is whole though its fragment said more: the rest
                // never comes, so the next record starts with the next byte.
                deliver();
                peer.reader.next();
            }
        }
        return true;
    }

    void run() {
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({stop_fd, POLLIN, 0});
            fds.push_back({listen_fd, POLLIN, 0});
            for (const Peer& p : peers)
                fds.push_back({p.fd, POLLIN, 0});
            // No timeout: the thread has nothing to do until one of them is ready.
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents != 0)
                return;
            for (std::size_t i = peers.size(); i-- > 0;) {
                if (fds[i + 2].revents == 0)
                    continue;
                if (!take(peers[i])) {
                    close_process_descriptor(peers[i].fd);
                    peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            if ((fds[1].revents & POLLIN) != 0) {
                const int fd = open_process_descriptor([&] {
                    return ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                });
                if (fd >= 0 && peers.size() < kMaxConnections)
                    peers.push_back(Peer{fd});
                else if (fd >= 0)
                    close_process_descriptor(fd);
            }
        }
    }
};

bool is_srq_call(std::span<const std::uint8_t> record, std::span<const std::uint8_t> handle) {
    rpc::XdrReader r(record);
    rpc::CallHeader h;
    if (!rpc::decode(r, h) || h.prog != vxi::kInterruptProgram || h.proc != vxi::DEVICE_INTR_SRQ)
        return false;
    vxi::DeviceSrqParms p;
    if (!vxi::decode(r, p) || !r.done())
        return false;
    return std::equal(p.handle.begin(), p.handle.end(), handle.begin(), handle.end());
}

ViStatus SrqServer::start(const sockaddr_in& local, std::vector<std::uint8_t> handle,
                          Listener listener, std::unique_ptr<SrqServer>& out) {
    auto state = std::make_shared<State>();
    state->handle = std::move(handle);
    state->listener = std::move(listener);
    state->stop_fd = open_process_eventfd();
    state->listen_fd = open_process_descriptor(
        [] { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); });
    if (state->stop_fd < 0 || state->listen_fd < 0)
        return VI_ERROR_SYSTEM_ERROR;
    sockaddr_in at = local;
    at.sin_port = 0;
    socklen_t len = sizeof at;
    if (::bind(state->listen_fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(state->listen_fd, 4) != 0 ||
        ::getsockname(state->listen_fd, reinterpret_cast<sockaddr*>(&at), &len) != 0)
        return VI_ERROR_SYSTEM_ERROR;
    state->port = ntohs(at.sin_port);
    // The thread keeps the state alive, should the server go from within
    // the listener (then the thread is detached, not joined).
    state->thread = std::thread([s = state] { s->run(); });
    out.reset(new SrqServer(std::move(state)));
    return VI_SUCCESS;
}

SrqServer::~SrqServer() {
    const std::uint64_t one = 1;
    (void)!::write(state_->stop_fd, &one, sizeof one);
    if (state_->thread.get_id() == std::this_thread::get_id())
        state_->thread.detach();
    else
        state_->thread.join();
}

std::uint16_t SrqServer::port() const {
    return state_->port;
}

void SrqServer::set_listener(Listener listener) {
    std::lock_guard lock(state_->mutex);
    state_->listener = std::move(listener);
}

}  // namespace sgvisa::lan
