// A VXI-11 device on 127.0.0.1, in a thread of the test: the portmapper,
// the core and the abort programs all on one port (GETPORT and create_link
// name that port), serving a script: what a read answers, how much per
// device_read, and one fault.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proto/oncrpc.h"
#include "proto/portmap.h"
#include "proto/rpc_record.h"
#include "proto/vxi11.h"

namespace sgtest {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;

enum class Vxi11Fault {
    none,
    hold_first_read,   // the first device_read is answered only when the next call comes
    die_mid_reply,     // half a device_read reply, then the connection closes
    giant_fragment,    // a device_read reply whose fragment says 2 GiB
    read_until_abort,  // the first device_read waits for device_abort
};

struct Vxi11Script {
    std::uint32_t max_recv_size = 1024;
    std::string reply;             // "": each read answers the last write
    std::size_t device_chunk = 0;  // most bytes per device_read; 0: as asked
    bool ignore_request_size = false;
    bool honour_term_char = true;
    Vxi11Fault fault = Vxi11Fault::none;
};

struct RecordedWrite {
    std::int32_t flags;
    std::string data;
};

// A listening socket on 127.0.0.1, on a port the kernel picks.
inline int listen_on_loopback(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 8);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

class Vxi11TestServer {
  public:
    explicit Vxi11TestServer(Vxi11Script script) : script_(std::move(script)) {
        listen_fd_ = listen_on_loopback(port_);
        stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { run(); });
    }
    ~Vxi11TestServer() {
        const std::uint64_t one = 1;
        (void)!::write(stop_fd_, &one, sizeof one);
        thread_.join();
        for (const Conn& c : conns_)
            ::close(c.fd);
        if (srq_fd_ >= 0)
            ::close(srq_fd_);
        ::close(listen_fd_);
        ::close(stop_fd_);
    }

    std::uint16_t port() const { return port_; }
    std::vector<RecordedWrite> writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    // The core procedures called, in order.
    std::vector<std::uint32_t> procs() {
        std::lock_guard lock(mutex_);
        return procs_;
    }
    // Blocks (at most 2 s) until a device_read has come.
    bool wait_read_started() {
        std::unique_lock lock(mutex_);
        return seen_.wait_for(lock, std::chrono::seconds(2), [&] { return reads_ > 0; });
    }

  private:
    struct Conn {
        int fd;
        rpc::RecordReader reader{1 << 22};
    };

    static rpc::Bytes reply_record(std::uint32_t xid, const rpc::Bytes& results) {
        rpc::Bytes out;
        const std::size_t start = rpc::begin_record(out);
        rpc::XdrWriter w(out);
        rpc::encode(w, rpc::make_reply(xid));
        out.insert(out.end(), results.begin(), results.end());
        rpc::end_record(out, start);
        return out;
    }
    void reply(int fd, std::uint32_t xid, const rpc::Bytes& results) {
        const rpc::Bytes out = reply_record(xid, results);
        (void)!::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }

    rpc::Bytes read_results(const vxi::DeviceReadParms& p) {
        if (script_.reply.empty()) {
            std::lock_guard lock(mutex_);
            const std::string last = writes_.empty() ? "" : writes_.back().data;
            const auto* b = reinterpret_cast<const std::uint8_t*>(last.data());
            return rpc::to_bytes(
                vxi::DeviceReadResp{0, vxi::kReasonEnd, rpc::ByteView(b, last.size())});
        }
        std::size_t n = script_.reply.size() - pos_;
        if (!script_.ignore_request_size)
            n = std::min<std::size_t>(n, p.request_size);
        if (script_.device_chunk != 0)
            n = std::min(n, script_.device_chunk);
        std::int32_t reason = 0;
        if ((p.flags & vxi::kFlagTermCharSet) != 0 && script_.honour_term_char) {
            const auto at = script_.reply.find(static_cast<char>(p.term_char), pos_);
            if (at != std::string::npos && at < pos_ + n) {
                n = at + 1 - pos_;
                reason |= vxi::kReasonChr;
            }
        }
        const std::string data = script_.reply.substr(pos_, n);
        pos_ += n;
        if (pos_ == script_.reply.size()) {
            reason |= vxi::kReasonEnd;
            pos_ = 0;
        }
        if (n == p.request_size)
            reason |= vxi::kReasonReqCnt;
        const auto* b = reinterpret_cast<const std::uint8_t*>(data.data());
        return rpc::to_bytes(vxi::DeviceReadResp{0, reason, rpc::ByteView(b, data.size())});
    }

    // Serves one call; false closes the connection.
    bool serve(Conn& c, rpc::ByteView record) {
        rpc::XdrReader r(record);
        rpc::CallHeader h;
        if (!rpc::decode(r, h))
            return false;
        if (held_fd_ >= 0) {  // the late reply goes out before the next call's
            reply(held_fd_, held_xid_, held_);
            held_fd_ = -1;
        }
        const rpc::ByteView args = r.rest();
        if (h.prog == vxi::kCoreProgram) {
            std::lock_guard lock(mutex_);
            procs_.push_back(h.proc);
        }
        if (h.prog == rpc::kPortmapProgram) {
            reply(c.fd, h.xid, rpc::to_bytes(rpc::PortResult{port_}));
        } else if (h.prog == vxi::kAbortProgram) {
            reply(c.fd, h.xid, rpc::to_bytes(vxi::DeviceErrorResp{}));
            if (abort_fd_ >= 0) {
                reply(abort_fd_, abort_xid_,
                      rpc::to_bytes(vxi::DeviceReadResp{vxi::ERR_ABORT, 0, {}}));
                abort_fd_ = -1;
            }
        } else if (h.proc == vxi::CREATE_LINK) {
            reply(c.fd, h.xid,
                  rpc::to_bytes(vxi::CreateLinkResp{0, 7, port_, script_.max_recv_size}));
        } else if (h.proc == vxi::DEVICE_WRITE) {
            vxi::DeviceWriteParms p;
            rpc::from_bytes(args, p);
            {
                std::lock_guard lock(mutex_);
                writes_.push_back({p.flags, std::string(p.data.begin(), p.data.end())});
            }
            reply(
                c.fd, h.xid,
                rpc::to_bytes(vxi::DeviceWriteResp{0, static_cast<std::uint32_t>(p.data.size())}));
        } else if (h.proc == vxi::DEVICE_READ) {
            vxi::DeviceReadParms p;
            rpc::from_bytes(args, p);
            {
                std::lock_guard lock(mutex_);
                ++reads_;
            }
            seen_.notify_all();
            const Vxi11Fault fault = std::exchange(script_.fault, Vxi11Fault::none);
            if (fault == Vxi11Fault::read_until_abort) {
                abort_fd_ = c.fd;
                abort_xid_ = h.xid;
                return true;
            }
            const rpc::Bytes results = read_results(p);
            if (fault == Vxi11Fault::hold_first_read) {
                held_ = results;
                held_fd_ = c.fd;
                held_xid_ = h.xid;
            } else if (fault == Vxi11Fault::die_mid_reply) {
                const rpc::Bytes out = reply_record(h.xid, results);
                (void)!::send(c.fd, out.data(), out.size() / 2, MSG_NOSIGNAL);
                return false;
            } else if (fault == Vxi11Fault::giant_fragment) {
                const std::uint8_t giant[] = {0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 1};
                (void)!::send(c.fd, giant, sizeof giant, MSG_NOSIGNAL);
            } else {
                reply(c.fd, h.xid, results);
            }
        } else if (h.proc == vxi::CREATE_INTR_CHAN) {
            rpc::from_bytes(args, intr_);
            reply(c.fd, h.xid, rpc::to_bytes(vxi::DeviceErrorResp{}));
        } else if (h.proc == vxi::DEVICE_ENABLE_SRQ) {
            vxi::DeviceEnableSrqParms p;
            rpc::from_bytes(args, p);
            reply(c.fd, h.xid, rpc::to_bytes(vxi::DeviceErrorResp{}));
            if (p.enable)
                request_service(rpc::Bytes(p.handle.begin(), p.handle.end()));
        } else if (h.proc == vxi::DEVICE_READSTB) {
            reply(c.fd, h.xid, rpc::to_bytes(vxi::DeviceReadStbResp{0, 0x51}));
        } else {
            reply(c.fd, h.xid, rpc::to_bytes(vxi::DeviceErrorResp{}));
        }
        return true;
    }

    // device_intr_srq on the interrupt channel, its fragment length four
    // bytes too long as some devices send it; no reply comes.
    void request_service(const rpc::Bytes& handle) {
        srq_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(intr_.host_addr);
        a.sin_port = htons(intr_.host_port);
        ::connect(srq_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        rpc::Bytes out;
        rpc::call_record(out, rpc::make_call(1, vxi::kInterruptProgram, 1, vxi::DEVICE_INTR_SRQ),
                         vxi::DeviceSrqParms{handle});
        out[3] = static_cast<std::uint8_t>(out[3] + 4);
        (void)!::send(srq_fd_, out.data(), out.size(), MSG_NOSIGNAL);
    }

    bool take(Conn& c) {
        std::uint8_t buf[65536];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        rpc::ByteView in(buf, static_cast<std::size_t>(n));
        while (!in.empty()) {
            std::size_t taken = 0;
            const auto st = c.reader.feed(in, taken);
            in = in.subspan(taken);
            if (st == rpc::RecordReader::Status::too_large)
                return false;
            if (st == rpc::RecordReader::Status::record) {
                if (!serve(c, c.reader.record()))
                    return false;
                c.reader.next();
            }
        }
        return true;
    }

    void run() {
        for (;;) {
            std::vector<pollfd> fds{{stop_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
            for (const Conn& c : conns_)
                fds.push_back({c.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) <= 0 || fds[0].revents != 0)
                return;
            for (std::size_t i = conns_.size(); i-- > 0;) {
                if (fds[i + 2].revents != 0 && !take(conns_[i])) {
                    ::close(conns_[i].fd);
                    conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            if (fds[1].revents != 0)
                conns_.push_back(Conn{::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)});
        }
    }

    Vxi11Script script_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::vector<Conn> conns_;
    std::size_t pos_ = 0;
    rpc::Bytes held_;
    int held_fd_ = -1;
    std::uint32_t held_xid_ = 0;
    vxi::DeviceRemoteFunc intr_;
    int srq_fd_ = -1;
    int abort_fd_ = -1;
    std::uint32_t abort_xid_ = 0;
    std::mutex mutex_;
    std::condition_variable seen_;
    std::vector<RecordedWrite> writes_;
    std::vector<std::uint32_t> procs_;
    int reads_ = 0;
};

}  // namespace sgtest
