#include "rpc_floor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "child_process.h"
#include "tcp_floor.h"

namespace sgbench {
namespace {

// A program number of the range left to users, and the core channel's
// procedure numbers, so that a capture reads like a query.
constexpr rpcprog_t kProgram = 0x20000534;
constexpr rpcvers_t kVersion = 1;
constexpr rpcproc_t kDeviceWrite = 11;
constexpr rpcproc_t kDeviceRead = 12;
constexpr u_int kMaxData = 64;

struct WriteArgs {  // link id, io and lock timeouts, flags, data
    u_int lid = 0, io_timeout = 0, lock_timeout = 0, flags = 0;
    char* data = nullptr;
    u_int size = 0;
};
struct WriteReply {  // error, bytes taken
    u_int error = 0, size = 0;
};
struct ReadArgs {  // link id, request size, io and lock timeouts, flags, term char
    u_int lid = 0, request_size = 0, io_timeout = 0, lock_timeout = 0, flags = 0, term_char = 0;
};
struct ReadReply {  // error, reason, data
    u_int error = 0, reason = 0;
    char* data = nullptr;
    u_int size = 0;
};

bool_t xdr_write_args(XDR* x, WriteArgs* a) {
    return xdr_u_int(x, &a->lid) && xdr_u_int(x, &a->io_timeout) &&
           xdr_u_int(x, &a->lock_timeout) && xdr_u_int(x, &a->flags) &&
           xdr_bytes(x, &a->data, &a->size, kMaxData);
}
bool_t xdr_write_reply(XDR* x, WriteReply* r) {
    return xdr_u_int(x, &r->error) && xdr_u_int(x, &r->size);
}
bool_t xdr_read_args(XDR* x, ReadArgs* a) {
    return xdr_u_int(x, &a->lid) && xdr_u_int(x, &a->request_size) &&
           xdr_u_int(x, &a->io_timeout) && xdr_u_int(x, &a->lock_timeout) &&
           xdr_u_int(x, &a->flags) && xdr_u_int(x, &a->term_char);
}
bool_t xdr_read_reply(XDR* x, ReadReply* r) {
    return xdr_u_int(x, &r->error) && xdr_u_int(x, &r->reason) &&
           xdr_bytes(x, &r->data, &r->size, kMaxData);
}

// libtirpc takes every XDR routine as one variadic pointer type.
template <typename F>
xdrproc_t xdrproc(F f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

void dispatch(svc_req* rq, SVCXPRT* xprt) {
    // The accepted connection gets Nagle off once, as the client's has.
    static int nodelay_fd = -1;
    if (xprt->xp_fd != nodelay_fd) {
        set_nodelay(xprt->xp_fd);
        nodelay_fd = xprt->xp_fd;
    }
    char in[kMaxData];
    static char reply_data[kFloorReplySize];
    switch (rq->rq_proc) {
        case NULLPROC:
            svc_sendreply(xprt, xdrproc(xdr_void), nullptr);
            return;
        case kDeviceWrite: {
            WriteArgs a;
            a.data = in;
            if (!svc_getargs(xprt, xdrproc(xdr_write_args), reinterpret_cast<char*>(&a))) {
                svcerr_decode(xprt);
                return;
            }
            WriteReply r;
            r.size = a.size;
            svc_sendreply(xprt, xdrproc(xdr_write_reply), reinterpret_cast<char*>(&r));
            return;
        }
        case kDeviceRead: {
            ReadArgs a;
            if (!svc_getargs(xprt, xdrproc(xdr_read_args), reinterpret_cast<char*>(&a))) {
                svcerr_decode(xprt);
                return;
            }
            std::memset(reply_data, 'R', sizeof reply_data);
            reply_data[sizeof reply_data - 1] = '\n';
            ReadReply r;
            r.reason = 4;  // END
            r.data = reply_data;
            r.size = sizeof reply_data;
            svc_sendreply(xprt, xdrproc(xdr_read_reply), reinterpret_cast<char*>(&r));
            return;
        }
        default:
            svcerr_noproc(xprt);
    }
}

// libtirpc's own service loop (svc_run) waits without a bound; this one
// waits on its descriptors and the control pipe, at most `idle_ms`.
[[noreturn]] void serve(int control, int idle_ms) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(svc_pollfd, svc_pollfd + svc_max_pollfd);
        fds.push_back({control, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), idle_ms);
        if (ready <= 0 || fds.back().revents != 0)
            ::_exit(0);
        svc_getreq_poll(fds.data(), ready);
    }
}

}  // namespace

RpcFloorServer::RpcFloorServer(int idle_ms)
    : FloorServer([idle_ms](int listener, int control) {
          SVCXPRT* xprt = svctcp_create(listener, 0, 0);
          // Protocol 0: registered with the dispatcher only, not with a portmapper.
          if (xprt == nullptr || !svc_register(xprt, kProgram, kVersion, dispatch, 0))
              ::_exit(1);
          serve(control, idle_ms);
      }) {}

RpcFloorClient::RpcFloorClient(std::uint16_t port, int bound_ms) : bound_ms_(bound_ms) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    set_nodelay(fd_);
    timeval tv{bound_ms / 1000, (bound_ms % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect()
    sockaddr_in a = loopback(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return;
    // A connected socket of our own: libtirpc asks no portmapper for it.
    client_ = clnttcp_create(&a, kProgram, kVersion, &fd_, 0, 0);
}

RpcFloorClient::~RpcFloorClient() {
    if (client_ != nullptr)
        clnt_destroy(static_cast<CLIENT*>(client_));
    if (fd_ >= 0)
        ::close(fd_);
}

bool RpcFloorClient::query() {
    auto* c = static_cast<CLIENT*>(client_);
    const timeval bound{bound_ms_ / 1000, (bound_ms_ % 1000) * 1000};
    char query[] = "*IDN?\n";
    WriteArgs w;
    w.lid = 1;
    w.io_timeout = 10000;
    w.flags = 8;  // END
    w.data = query;
    w.size = sizeof query - 1;
    WriteReply wr;
    if (clnt_call(c, kDeviceWrite, xdrproc(xdr_write_args), reinterpret_cast<char*>(&w),
                  xdrproc(xdr_write_reply), reinterpret_cast<char*>(&wr), bound) != RPC_SUCCESS ||
        wr.size != w.size)
        return false;
    ReadArgs r;
    r.lid = 1;
    r.request_size = 1024;
    r.io_timeout = 10000;
    char data[kMaxData];
    ReadReply rr;
    rr.data = data;
    return clnt_call(c, kDeviceRead, xdrproc(xdr_read_args), reinterpret_cast<char*>(&r),
                     xdrproc(xdr_read_reply), reinterpret_cast<char*>(&rr), bound) == RPC_SUCCESS &&
           rr.size == kFloorReplySize && data[kFloorReplySize - 1] == '\n';
}

}  // namespace sgbench
