#include "vxi11_transport.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "lan/lan_transports.h"
#include "proto/portmap.h"
#include "trace/trace_reason.h"
#include "vxi11_status.h"

namespace sgvisa::lan {
namespace {

// Bounds of what has no VISA timeout: the abort of a cancelled call (the
// device answers device_abort at once, and the aborted call's reply right
// behind it), and the calls that set service requests up or tear a link
// down.
constexpr auto kAbortBound = std::chrono::milliseconds(1000);
constexpr auto kControlBound = std::chrono::milliseconds(2000);
// A close waits this long for each teardown call: viClose returns at once
// for a device that answers, and a hung one loses its link with the
// connection anyway.
constexpr auto kCloseBound = std::chrono::milliseconds(300);
// A device whose create_link gives no maxRecvSize gets pieces this size:
// the least a device may take.
constexpr std::uint32_t kLeastRecvSize = 1024;

std::uint32_t io_ms_until(Deadline deadline) {
    return static_cast<std::uint32_t>(ms_until(deadline));
}

}  // namespace

Vxi11Transport::Vxi11Transport(std::unique_ptr<RpcClient> core, const Vxi11Link& link,
                               LanFacts facts, std::chrono::milliseconds reply_margin)
    : core_(std::move(core)), link_(link), facts_(std::move(facts)), reply_margin_(reply_margin) {
    if (link_.max_recv_size == 0)
        link_.max_recv_size = kLeastRecvSize;
}

Vxi11Transport::~Vxi11Transport() {
    if (srq_)
        stop_service_requests(kCloseBound);
    if (core_->lost())
        return;
    // The device keeps a link until told; some keep only a few. A device
    // that does not answer in time loses it with the connection anyway.
    std::unique_lock lock(core_mutex_, std::defer_lock);
    if (!lock.try_lock_for(kCloseBound))
        return;
    rpc::ByteView results;
    (void)core_->call(vxi::DESTROY_LINK, vxi::DeviceLink{link_.lid}, Clock::now() + kCloseBound, -1,
                      results);
}

// When a call whose device may take `io_ms` + `lock_ms` has waited long enough.
Deadline Vxi11Transport::reply_deadline(Deadline deadline, std::uint32_t io_ms,
                                        std::uint32_t lock_ms) const {
    if (deadline == Deadline::max())
        return Deadline::max();
    return Clock::now() + std::chrono::milliseconds(std::uint64_t{io_ms} + lock_ms) + reply_margin_;
}

ViStatus Vxi11Transport::abort_pending() {
    const Deadline bound = Clock::now() + kAbortBound;
    if (!abort_ && link_.abort_port != 0) {
        std::vector<HostAddress> to(1);
        to[0].addr = core_->connection().peer();
        to[0].length =
            to[0].addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        std::unique_ptr<TcpConnection> c;
        if (TcpConnection::connect(to, link_.abort_port, bound, c) == VI_SUCCESS)
            abort_ = std::make_unique<RpcClient>(std::move(c), vxi::kAbortProgram, vxi::kVersion);
    }
    if (abort_ && !abort_->lost()) {
        rpc::ByteView ignored;
        (void)abort_->call(vxi::DEVICE_ABORT, vxi::DeviceLink{link_.lid}, bound, -1, ignored);
    }
    // The aborted call's reply, whatever it says, so that it is not left to
    // the next call to drop; if it does not come in time, that call will.
    rpc::ByteView ignored;
    (void)core_->await(bound, -1, ignored);
    return VI_ERROR_ABORT;
}

template <class Args, class Results>
ViStatus Vxi11Transport::core_call(std::uint32_t proc, const Args& args, Deadline deadline,
                                   std::uint32_t io_ms, std::uint32_t lock_ms, Results& out,
                                   Abortable abortable) {
    const bool may_abort = abortable == Abortable::yes;
    if (may_abort && cancel_.cancelled())
        return VI_ERROR_ABORT;
    std::unique_lock lock(core_mutex_, std::defer_lock);
    if (deadline == Deadline::max())
        lock.lock();
    else if (!lock.try_lock_until(std::max(deadline, Clock::now() + kControlBound)))
        return VI_ERROR_TMO;
    if (core_->lost())
        return VI_ERROR_CONN_LOST;
    rpc::ByteView results;
    ViStatus st = core_->call(proc, args, reply_deadline(deadline, io_ms, lock_ms),
                              may_abort ? cancel_.fd() : -1, results);
    if (st == VI_ERROR_ABORT)
        return abort_pending();
    if (st == VI_ERROR_TMO) {
        trace::note_reason([&] {
            return std::string("the instrument did not answer ") +
                   vxi::proc_name(vxi::kCoreProgram, proc) +
                   " within its own timeout and a margin; its late reply will be dropped";
        });
        return st;
    }
    if (st != VI_SUCCESS)
        return st;
    if (!rpc::from_bytes(results, out)) {
        trace::note_reason([&] {
            return std::string("the instrument's reply to ") +
                   vxi::proc_name(vxi::kCoreProgram, proc) + " did not decode";
        });
        return VI_ERROR_IO;
    }
    return VI_SUCCESS;
}

ViStatus Vxi11Transport::generic_call(std::uint32_t proc, Deadline deadline,
                                      vxi::DeviceErrorResp& out) {
    const std::uint32_t io_ms = io_ms_until(deadline);
    const vxi::DeviceGenericParms p{link_.lid, 0, 0, io_ms};
    return core_call(proc, p, deadline, io_ms, 0, out);
}

ViStatus Vxi11Transport::send(std::span<const std::uint8_t> data, bool end, Deadline deadline) {
    excess_.clear();  // a new message: the rest of the reply is dropped
    std::size_t at = 0;
    do {
        const std::size_t piece = std::min<std::size_t>(data.size() - at, link_.max_recv_size);
        const bool last = at + piece == data.size();
        const std::uint32_t io_ms = io_ms_until(deadline);
        if (at > 0 && io_ms == 0)
            return VI_ERROR_TMO;
        const vxi::DeviceWriteParms p{link_.lid, io_ms, 0, last && end ? vxi::kFlagEnd : 0,
                                      data.subspan(at, piece)};
        vxi::DeviceWriteResp r;
        const ViStatus st = core_call(vxi::DEVICE_WRITE, p, deadline, io_ms, 0, r);
        if (st != VI_SUCCESS)
            return st;
        if (r.error != vxi::ERR_NONE)
            return vxi11_status(r.error);
        if (r.size > piece || (r.size == 0 && piece > 0)) {
            trace::note_reason([&] {
                return "the instrument said it took " + std::to_string(r.size) + " of " +
                       std::to_string(piece) + " bytes";
            });
            return VI_ERROR_IO;
        }
        at += r.size;
    } while (at < data.size());
    return VI_SUCCESS;
}

ViStatus Vxi11Transport::receive(std::span<std::uint8_t> buf, const ReadStop& stop,
                                 Deadline deadline, ReadResult& result) {
    result = ReadResult{};
    if (cancel_.cancelled())
        return VI_ERROR_ABORT;
    std::size_t count = 0;
    const auto term_in = [&](std::size_t from, std::size_t to) {
        return stop.term_char_enabled &&
               std::find(buf.begin() + static_cast<std::ptrdiff_t>(from),
                         buf.begin() + static_cast<std::ptrdiff_t>(to),
                         stop.term_char) != buf.begin() + static_cast<std::ptrdiff_t>(to);
    };
    if (excess_at_ < excess_.size()) {
        const std::size_t n = std::min(buf.size(), excess_.size() - excess_at_);
        std::copy_n(excess_.begin() + static_cast<std::ptrdiff_t>(excess_at_), n, buf.begin());
        excess_at_ += n;
        count = n;
        if (excess_at_ == excess_.size()) {
            excess_.clear();
            excess_at_ = 0;
            result.end = excess_end_;
        }
        result.count = count;
        return VI_SUCCESS;
    }
    while (count < buf.size()) {
        const std::uint32_t io_ms = io_ms_until(deadline);
        if (count > 0 && io_ms == 0) {
            result.count = count;
            return VI_ERROR_TMO;  // one deadline for the whole read
        }
        const std::size_t want = std::min<std::size_t>(buf.size() - count, kReadChunk);
        const vxi::DeviceReadParms p{link_.lid,
                                     static_cast<std::uint32_t>(want),
                                     io_ms,
                                     0,
                                     stop.term_char_enabled ? vxi::kFlagTermCharSet : 0,
                                     stop.term_char};
        vxi::DeviceReadResp r;
        ViStatus st = core_call(vxi::DEVICE_READ, p, deadline, io_ms, 0, r);
        if (st == VI_SUCCESS && r.error != vxi::ERR_NONE)
            st = vxi11_status(r.error);
        if (st != VI_SUCCESS) {
            result.count = count;
            return st;
        }
        const std::size_t n = std::min(r.data.size(), want);
        std::copy_n(r.data.begin(), n, buf.begin() + static_cast<std::ptrdiff_t>(count));
        const bool end = (r.reason & vxi::kReasonEnd) != 0;
        if (r.data.size() > n) {
            // A device that ignores requestSize: the rest is the next read's.
            excess_.assign(r.data.begin() + static_cast<std::ptrdiff_t>(n), r.data.end());
            excess_at_ = 0;
            excess_end_ = end;
            result.count = count + n;
            return VI_SUCCESS;
        }
        const std::size_t from = count;
        count += n;
        if (end) {
            result.end = true;
            break;
        }
        if ((r.reason & vxi::kReasonChr) != 0 && stop.term_char_enabled) {
            result.term_char = true;
            break;
        }
        if (term_in(from, count))
            break;  // the Transport cuts the read after it
    }
    result.count = count;
    return VI_SUCCESS;
}

ViStatus Vxi11Transport::clear_device(Deadline deadline) {
    excess_.clear();
    excess_at_ = 0;
    vxi::DeviceErrorResp r;
    const ViStatus st = generic_call(vxi::DEVICE_CLEAR, deadline, r);
    return st != VI_SUCCESS ? st : vxi11_status(r.error);
}

ViStatus Vxi11Transport::read_status_byte(Deadline deadline, std::uint8_t& status) {
    const std::uint32_t io_ms = io_ms_until(deadline);
    const vxi::DeviceGenericParms p{link_.lid, 0, 0, io_ms};
    vxi::DeviceReadStbResp r;
    const ViStatus st = core_call(vxi::DEVICE_READSTB, p, deadline, io_ms, 0, r);
    if (st != VI_SUCCESS)
        return st;
    if (r.error != vxi::ERR_NONE)
        return vxi11_status(r.error);
    status = r.stb;
    return VI_SUCCESS;
}

ViStatus Vxi11Transport::assert_trigger(Deadline deadline) {
    excess_.clear();
    vxi::DeviceErrorResp r;
    const ViStatus st = generic_call(vxi::DEVICE_TRIGGER, deadline, r);
    return st != VI_SUCCESS ? st : vxi11_status(r.error);
}

ViStatus Vxi11Transport::control_remote(ViUInt16 mode, Deadline deadline) {
    // VXI-11 has remote and local only: the address and lockout forms are
    // remote, the go-to-local forms local.
    std::uint32_t proc = 0;
    switch (mode) {
        case VI_GPIB_REN_ASSERT:
        case VI_GPIB_REN_ASSERT_ADDRESS:
        case VI_GPIB_REN_ASSERT_LLO:
        case VI_GPIB_REN_ASSERT_ADDRESS_LLO:
            proc = vxi::DEVICE_REMOTE;
            break;
        case VI_GPIB_REN_DEASSERT:
        case VI_GPIB_REN_DEASSERT_GTL:
        case VI_GPIB_REN_ADDRESS_GTL:
            proc = vxi::DEVICE_LOCAL;
            break;
        default:
            return VI_ERROR_INV_MODE;
    }
    vxi::DeviceErrorResp r;
    const ViStatus st = generic_call(proc, deadline, r);
    return st != VI_SUCCESS ? st : vxi11_status(r.error);
}

ViStatus Vxi11Transport::lock_device(Deadline deadline, const std::string& shared_key) {
    if (!shared_key.empty())
        return VI_ERROR_NSUP_OPER;
    const std::uint32_t lock_ms = io_ms_until(deadline);
    const vxi::DeviceLockParms p{link_.lid, vxi::kFlagWaitLock, lock_ms};
    vxi::DeviceErrorResp r;
    const ViStatus st = core_call(vxi::DEVICE_LOCK, p, deadline, 0, lock_ms, r);
    return st != VI_SUCCESS ? st : vxi11_status(r.error);
}

ViStatus Vxi11Transport::unlock_device(Deadline deadline) {
    vxi::DeviceErrorResp r;
    const ViStatus st =
        core_call(vxi::DEVICE_UNLOCK, vxi::DeviceLink{link_.lid}, deadline, 0, 0, r);
    return st != VI_SUCCESS ? st : vxi11_status(r.error);
}

ViStatus Vxi11Transport::listen_for_service_requests(std::function<void(std::uint8_t)> listener) {
    if (!listener)
        return srq_ ? stop_service_requests(kControlBound) : VI_SUCCESS;
    auto call = [l = std::move(listener)] { l(0x40); };
    if (srq_) {
        srq_->set_listener(std::move(call));
        return VI_SUCCESS;
    }
    // The interrupt channel's address is 32 bits: IPv4 only.
    const sockaddr_storage local = core_->connection().local();
    if (local.ss_family != AF_INET) {
        trace::note_reason(
            [] { return std::string("VXI-11 service requests need an IPv4 connection"); });
        return VI_ERROR_NSUP_OPER;
    }
    const auto& local4 = reinterpret_cast<const sockaddr_in&>(local);
    std::vector<std::uint8_t> handle(sizeof link_.lid);
    std::memcpy(handle.data(), &link_.lid, sizeof link_.lid);
    std::unique_ptr<SrqServer> server;
    ViStatus st = SrqServer::start(local4, handle, std::move(call), server);
    if (st != VI_SUCCESS)
        return st;
    const Deadline bound = Clock::now() + kControlBound;
    const vxi::DeviceRemoteFunc chan{ntohl(local4.sin_addr.s_addr), server->port(),
                                     vxi::kInterruptProgram, vxi::kVersion, vxi::AddrFamily::tcp};
    vxi::DeviceErrorResp r;
    st = core_call(vxi::CREATE_INTR_CHAN, chan, bound, 0, 0, r, Abortable::no);
    // One interrupt channel per core connection: one made before is as good.
    if (st == VI_SUCCESS && r.error != vxi::ERR_CHANNEL_ALREADY_ESTABLISHED)
        st = vxi11_status(r.error);
    if (st != VI_SUCCESS)
        return st;
    srq_ = std::move(server);
    const vxi::DeviceEnableSrqParms enable{link_.lid, true, handle};
    st = core_call(vxi::DEVICE_ENABLE_SRQ, enable, bound, 0, 0, r, Abortable::no);
    if (st == VI_SUCCESS)
        st = vxi11_status(r.error);
    if (st != VI_SUCCESS)
        stop_service_requests(kControlBound);
    return st;
}

ViStatus Vxi11Transport::stop_service_requests(std::chrono::milliseconds within) {
    const Deadline bound = Clock::now() + within;
    std::vector<std::uint8_t> handle(sizeof link_.lid);
    std::memcpy(handle.data(), &link_.lid, sizeof link_.lid);
    vxi::DeviceErrorResp r;
    ViStatus st = VI_SUCCESS;
    if (!core_->lost()) {
        // With the handle it was enabled with: some devices fail on an empty one.
        const vxi::DeviceEnableSrqParms disable{link_.lid, false, handle};
        st = core_call(vxi::DEVICE_ENABLE_SRQ, disable, bound, 0, 0, r, Abortable::no);
        (void)core_call(vxi::DESTROY_INTR_CHAN, vxi::Void{}, bound, 0, 0, r, Abortable::no);
    }
    srq_.reset();
    return st == VI_ERROR_CONN_LOST ? VI_SUCCESS : st;
}

ViStatus Vxi11Transport::set_interface_attribute(ViAttr attr, ViAttrState value) {
    switch (attr) {
        case VI_ATTR_TCPIP_KEEPALIVE:
            if (value != VI_TRUE && value != VI_FALSE)
                return VI_ERROR_NSUP_ATTR_STATE;
            if (!core_->connection().set_keepalive(value == VI_TRUE))
                return VI_ERROR_SYSTEM_ERROR;
            keepalive_ = value == VI_TRUE;
            return VI_SUCCESS;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus Vxi11Transport::get_interface_attribute(ViAttr attr, ViAttrState& value) const {
    switch (attr) {
        case VI_ATTR_TCPIP_KEEPALIVE:
            value = keepalive_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

namespace {

std::uint16_t portmap_port_from_environment() {
    const char* text = std::getenv(kPortmapPortVariable);
    if (text == nullptr || *text == '\0')
        return rpc::kPortmapPort;
    unsigned value = 0;
    const std::string_view s(text);
    const auto [at, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || at != s.data() + s.size() || value == 0 || value > 65535)
        return rpc::kPortmapPort;
    return static_cast<std::uint16_t>(value);
}

// The core channel's port, from the host's portmapper.
ViStatus core_port(const std::vector<HostAddress>& addresses, std::uint16_t portmap_port,
                   Deadline deadline, std::uint16_t& port) {
    std::unique_ptr<TcpConnection> c;
    ViStatus st = TcpConnection::connect(addresses, portmap_port, deadline, c);
    if (st != VI_SUCCESS)
        return st;
    RpcClient pm(std::move(c), rpc::kPortmapProgram, rpc::kPortmapVersion);
    const rpc::Mapping m{vxi::kCoreProgram, vxi::kVersion, rpc::kIpProtoTcp, 0};
    rpc::ByteView results;
    st = pm.call(rpc::PMAPPROC_GETPORT, m, deadline, -1, results);
    if (st == VI_ERROR_CONN_LOST || st == VI_ERROR_IO)
        st = VI_ERROR_RSRC_NFOUND;
    if (st != VI_SUCCESS)
        return st;
    rpc::PortResult r;
    if (!rpc::from_bytes(results, r) || r.port == 0) {
        trace::note_reason(
            [] { return std::string("the host's portmapper knows no VXI-11 server"); });
        return VI_ERROR_RSRC_NFOUND;
    }
    port = r.port;
    return VI_SUCCESS;
}

}  // namespace

ViStatus open_vxi11_transport(const std::string& host, const std::string& device, Deadline deadline,
                              std::unique_ptr<Transport>& out, const Vxi11Options& options) {
    if (device.size() > vxi::kMaxDeviceName)
        return VI_ERROR_INV_RSRC_NAME;
    std::vector<HostAddress> addresses;
    ViStatus st = resolve_host(host, deadline, addresses);
    if (st != VI_SUCCESS)
        return st;
    std::uint16_t port = 0;
    st = core_port(
        addresses,
        options.portmap_port != 0 ? options.portmap_port : portmap_port_from_environment(),
        deadline, port);
    if (st != VI_SUCCESS)
        return st;
    std::unique_ptr<TcpConnection> c;
    st = TcpConnection::connect(addresses, port, deadline, c);
    if (st == VI_ERROR_RSRC_NFOUND) {
        // The portmapper says a server is there: it takes no more links.
        trace::note_reason([&] {
            return "the VXI-11 server on " + host + " port " + std::to_string(port) +
                   " refused the connection: it may take one client at a time";
        });
        return VI_ERROR_RSRC_BUSY;
    }
    if (st != VI_SUCCESS)
        return st;
    LanFacts facts;
    facts.address = address_text(c->peer());
    facts.hostname = is_address_literal(host) ? std::string() : host;
    facts.port = port;
    facts.device_name = device;
    auto core = std::make_unique<RpcClient>(std::move(c), vxi::kCoreProgram, vxi::kVersion);
    const vxi::CreateLinkParms p{static_cast<std::int32_t>(::getpid()), false, 0, device};
    vxi::CreateLinkResp r;
    rpc::ByteView results;
    st = core->call(vxi::CREATE_LINK, p, deadline, -1, results);
    if (st == VI_ERROR_CONN_LOST) {
        trace::note_reason([&] {
            return "the VXI-11 server on " + host +
                   " closed the connection before create_link's answer: it may take one client "
                   "at a time, and has one";
        });
        return VI_ERROR_RSRC_BUSY;
    }
    if (st != VI_SUCCESS)
        return st;
    if (!rpc::from_bytes(results, r))
        return VI_ERROR_IO;
    if (r.error != vxi::ERR_NONE)
        return vxi11_open_status(r.error);
    out = std::make_unique<Vxi11Transport>(std::move(core),
                                           Vxi11Link{r.lid, r.abort_port, r.max_recv_size},
                                           std::move(facts), options.reply_margin);
    return VI_SUCCESS;
}

}  // namespace sgvisa::lan
