// The VXI-11 core and abort channels, and the portmapper over TCP.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "connection_services.h"
#include "proto/vxi11.h"
#include "rpc_service.h"
#include "rpc_stream.h"
#include "srq_channel.h"
#include "tcp_io.h"

namespace sgsim::network {

namespace vxi = sgproto::vxi11;

namespace {

// A call's record: its header and arguments, the largest write's data with
// room to spare.
constexpr std::size_t kMaxCallRecord = kMaxRecvSize + 1024;
// How long a reply may take to go out once the client stops reading.
constexpr std::chrono::seconds kSendBound{10};

// device_docmd's result: no command is supported, and no data comes back.
struct DocmdResp {
    std::int32_t error = vxi::ERR_NOT_SUPPORTED;
};

void encode(rpc::XdrWriter& w, const DocmdResp& r) {
    w.i32(r.error);
    w.opaque({});
}

// The device names a link may be made to: "inst" or "gpib" and a number
// ("gpib0,5": a secondary address too), as LAN device names give them.
bool known_device(std::string_view name) {
    for (const std::string_view prefix : {"inst", "gpib"}) {
        if (name.substr(0, prefix.size()) != prefix)
            continue;
        const std::string_view rest = name.substr(prefix.size());
        return !rest.empty() && std::isdigit(static_cast<unsigned char>(rest.front())) &&
               std::all_of(rest.begin(), rest.end(), [](char c) {
                   return std::isdigit(static_cast<unsigned char>(c)) || c == ',';
               });
    }
    return false;
}

class CoreSession {
  public:
    CoreSession(SharedInstrument& shared, const CoreContext& context)
        : shared_(shared), context_(context) {}

    // The reply message to one call; empty for a message that is not one.
    rpc::Bytes answer(rpc::ByteView message);
    // Passes the service requests waiting on to the interrupt channel.
    void send_service_requests();

  private:
    rpc::Bytes core_call(rpc::XdrReader& r, const rpc::CallHeader& h);

    SharedInstrument& shared_;
    const CoreContext& context_;
    SrqChannel interrupt_;
};

rpc::Bytes CoreSession::answer(rpc::ByteView message) {
    rpc::XdrReader r(message);
    rpc::CallHeader h;
    rpc::Bytes reply;
    if (!accept_call(r, vxi::kCoreProgram, vxi::kVersion, h, reply))
        return reply;
    return core_call(r, h);
}

rpc::Bytes CoreSession::core_call(rpc::XdrReader& r, const rpc::CallHeader& h) {
    const DeviceQuirks& quirks = shared_.quirks();
    const std::uint32_t xid = h.xid;
    using Generic = SharedInstrument::Generic;
    const auto generic = [&](Generic what) {
        return serve_call<vxi::DeviceGenericParms>(r, xid, [&](const vxi::DeviceGenericParms& p) {
            return vxi::DeviceErrorResp{shared_.generic(what, p)};
        });
    };
    switch (h.proc) {
        case 0:  // NULL
            return serve_call<rpc::Void>(r, xid, [](const rpc::Void&) { return rpc::Void{}; });
        case vxi::CREATE_LINK:
            return serve_call<vxi::CreateLinkParms>(r, xid, [&](const vxi::CreateLinkParms& p) {
                vxi::CreateLinkResp resp;
                if (!known_device(p.device)) {
                    resp.error = vxi::ERR_INVALID_ADDRESS;
                    return resp;
                }
                const auto link =
                    shared_.create_link(context_.connection, p.lock_device, p.lock_timeout);
                resp.error = link.error;
                resp.lid = link.lid;
                resp.abort_port = context_.abort_port;
                resp.max_recv_size = quirks.max_recv > 0
                                         ? static_cast<std::uint32_t>(quirks.max_recv)
                                         : kMaxRecvSize;
                return resp;
            });
        case vxi::DEVICE_WRITE:
            return serve_call<vxi::DeviceWriteParms>(r, xid, [&](const vxi::DeviceWriteParms& p) {
                const auto w = shared_.write(p.lid, p.flags, p.lock_timeout, p.data);
                return vxi::DeviceWriteResp{w.error, w.size};
            });
        case vxi::DEVICE_READ: {
            std::string data;  // outlives the reply's view of it
            rpc::Bytes reply =
                serve_call<vxi::DeviceReadParms>(r, xid, [&](const vxi::DeviceReadParms& p) {
                    auto rd = shared_.read(p);
                    data = std::move(rd.data);
                    return vxi::DeviceReadResp{
                        rd.error, rd.reason,
                        vxi::ByteView(reinterpret_cast<const std::uint8_t*>(data.data()),
                                      data.size())};
                });
            if (quirks.late.count() > 0)
                shared_.wait_until(Clock::now() + quirks.late);
            return reply;
        }
        case vxi::DEVICE_READSTB:
            return serve_call<vxi::DeviceGenericParms>(
                r, xid, [&](const vxi::DeviceGenericParms& p) {
                    const auto s = shared_.read_stb(p);
                    return vxi::DeviceReadStbResp{s.error, s.stb};
                });
        case vxi::DEVICE_TRIGGER:
            return generic(Generic::trigger);
        case vxi::DEVICE_CLEAR:
            return generic(Generic::clear);
        case vxi::DEVICE_REMOTE:
            return generic(Generic::remote);
        case vxi::DEVICE_LOCAL:
            return generic(Generic::local);
        case vxi::DEVICE_LOCK:
            return serve_call<vxi::DeviceLockParms>(r, xid, [&](const vxi::DeviceLockParms& p) {
                return vxi::DeviceErrorResp{shared_.lock(p)};
            });
        case vxi::DEVICE_UNLOCK:
            return serve_call<vxi::DeviceLink>(r, xid, [&](const vxi::DeviceLink& p) {
                return vxi::DeviceErrorResp{shared_.unlock(p.lid)};
            });
        case vxi::DEVICE_ENABLE_SRQ:
            return serve_call<vxi::DeviceEnableSrqParms>(
                r, xid, [&](const vxi::DeviceEnableSrqParms& p) {
                    return vxi::DeviceErrorResp{shared_.enable_srq(p.lid, p.enable, p.handle)};
                });
        case vxi::DEVICE_DOCMD:
            // Its arguments are not looked at: every command is refused.
            return success(xid, DocmdResp{});
        case vxi::DESTROY_LINK:
            return serve_call<vxi::DeviceLink>(r, xid, [&](const vxi::DeviceLink& p) {
                return vxi::DeviceErrorResp{shared_.destroy_link(context_.connection, p.lid)};
            });
        case vxi::CREATE_INTR_CHAN:
            return serve_call<vxi::DeviceRemoteFunc>(r, xid, [&](const vxi::DeviceRemoteFunc& p) {
                if (interrupt_.is_open())
                    return vxi::DeviceErrorResp{vxi::ERR_CHANNEL_ALREADY_ESTABLISHED};
                if (p.prog_family != vxi::AddrFamily::tcp)
                    return vxi::DeviceErrorResp{vxi::ERR_NOT_SUPPORTED};
                if (!interrupt_.open(p.host_addr, p.host_port, p.prog_num, p.prog_vers))
                    return vxi::DeviceErrorResp{vxi::ERR_CHANNEL_NOT_ESTABLISHED};
                return vxi::DeviceErrorResp{vxi::ERR_NONE};
            });
        case vxi::DESTROY_INTR_CHAN:
            return serve_call<rpc::Void>(r, xid, [&](const rpc::Void&) {
                if (!interrupt_.is_open())
                    return vxi::DeviceErrorResp{vxi::ERR_CHANNEL_NOT_ESTABLISHED};
                interrupt_.close();
                return vxi::DeviceErrorResp{vxi::ERR_NONE};
            });
        default:
            return refusal(xid, rpc::AcceptStat::proc_unavail);
    }
}

void CoreSession::send_service_requests() {
    for (const std::string& handle : shared_.take_service_requests(context_.connection)) {
        if (!interrupt_.is_open())
            break;
        interrupt_.send_service_request(handle, shared_.quirks().srq_long_fragment,
                                        context_.stop_fd);
    }
}

// Serves the calls of one connection with `answer`, woken by `wake_fd`
// (or -1) to run `woken`.
template <class Answer, class Woken>
void serve_records(int fd, int stop_fd, int wake_fd, Answer&& answer, Woken&& woken) {
    RpcStream stream(fd, stop_fd, wake_fd, kMaxCallRecord);
    for (;;) {
        const RpcStream::Event event = stream.next();
        if (event == RpcStream::Event::woken) {
            woken();
            continue;
        }
        if (event != RpcStream::Event::record)
            return;
        const rpc::Bytes reply = answer(stream.record());
        if (reply.empty())
            continue;  // not a call: nothing to answer
        if (!send_whole(fd, as_record(reply), stop_fd, Clock::now() + kSendBound))
            return;
    }
}

}  // namespace

void serve_core_connection(int fd, SharedInstrument& shared, const CoreContext& context) {
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    shared.open_connection(context.connection, wake_fd);
    {
        CoreSession session(shared, context);
        serve_records(
            fd, context.stop_fd, wake_fd,
            [&](rpc::ByteView message) { return session.answer(message); },
            [&] { session.send_service_requests(); });
    }
    shared.close_connection(context.connection);
    if (wake_fd >= 0)
        ::close(wake_fd);
}

void serve_abort_connection(int fd, SharedInstrument& shared, int stop_fd) {
    const auto answer = [&](rpc::ByteView message) {
        rpc::XdrReader r(message);
        rpc::CallHeader h;
        rpc::Bytes reply;
        if (!accept_call(r, vxi::kAbortProgram, vxi::kVersion, h, reply))
            return reply;
        if (h.proc == 0)
            return serve_call<rpc::Void>(r, h.xid, [](const rpc::Void&) { return rpc::Void{}; });
        if (h.proc != vxi::DEVICE_ABORT)
            return refusal(h.xid, rpc::AcceptStat::proc_unavail);
        return serve_call<vxi::DeviceLink>(r, h.xid, [&](const vxi::DeviceLink& p) {
            return vxi::DeviceErrorResp{shared.abort(p.lid)};
        });
    };
    serve_records(fd, stop_fd, -1, answer, [] {});
}

void serve_portmap_connection(int fd, const PortmapTable& table, int stop_fd) {
    serve_records(
        fd, stop_fd, -1, [&](rpc::ByteView message) { return portmap_answer(message, table); },
        [] {});
}

}  // namespace sgsim::network
