#include "socket_transport.h"

#include <poll.h>

#include <algorithm>

#include "lan/lan_transports.h"
#include "trace/trace_reason.h"
#include "trace/trace_sink.h"
#include "trace/trace_text.h"

namespace sgvisa::lan {

namespace {

// The transfers trace: what went out and what came, as they are on the wire.
void trace_bytes(const char* what, std::span<const std::uint8_t> bytes, ViStatus st) {
    trace::transfer_line([&](std::string& line) {
        line += what;
        line += " data=";
        trace::append_buffer(line, bytes.data(), bytes.size());
        if (st != VI_SUCCESS) {
            line += " -> failed, status ";
            trace::append_hex(line, static_cast<std::uint32_t>(st));
        }
    });
}

}  // namespace

SocketTransport::SocketTransport(std::unique_ptr<TcpConnection> connection, LanFacts facts)
    : connection_(std::move(connection)), facts_(std::move(facts)) {}

ViStatus SocketTransport::status_of(ViStatus st) {
    if (st == VI_ERROR_TMO && cancel_.cancelled())
        return VI_ERROR_ABORT;
    return st;
}

ViStatus SocketTransport::send(std::span<const std::uint8_t> data, bool /*end*/,
                               Deadline deadline) {
    // No END on the wire: the program's message carries its own terminator.
    if (cancel_.cancelled())
        return VI_ERROR_ABORT;
    const ViStatus st = status_of(connection_->send(data, deadline, cancel_.fd()));
    trace_bytes("socket send", data, st);
    return st;
}

ViStatus SocketTransport::receive(std::span<std::uint8_t> buf, const ReadStop& stop,
                                  Deadline deadline, ReadResult& result) {
    result = ReadResult{};
    if (cancel_.cancelled())
        return VI_ERROR_ABORT;
    std::size_t count = 0;
    while (count < buf.size()) {
        std::size_t got = 0;
        const ViStatus st =
            connection_->receive_some(buf.subspan(count), deadline, cancel_.fd(), got);
        if (st != VI_SUCCESS) {
            result.count = count;  // what came before the timeout is the caller's
            trace_bytes("socket receive", {}, status_of(st));
            return status_of(st);
        }
        trace_bytes("socket receive", buf.subspan(count, got), VI_SUCCESS);
        const auto first = buf.begin() + static_cast<std::ptrdiff_t>(count);
        count += got;
        // The Transport cuts the read after the character and keeps the rest.
        if (stop.term_char_enabled &&
            std::find(first, first + static_cast<std::ptrdiff_t>(got), stop.term_char) !=
                first + static_cast<std::ptrdiff_t>(got))
            break;
    }
    result.count = count;
    return VI_SUCCESS;
}

ViStatus SocketTransport::clear_device(Deadline deadline) {
    // Nothing goes on the wire: what has come, and what comes until the
    // connection has been quiet a while, is thrown away, so that an answer
    // already on its way (a query's the program gave up on) goes too.
    for (;;) {
        connection_->discard_pending();
        if (connection_->lost())
            return VI_ERROR_CONN_LOST;
        const ViStatus st =
            wait_ready(connection_->fd(), POLLIN, std::min(deadline, Clock::now() + kClearQuiet),
                       cancel_.fd());
        if (st == VI_ERROR_TMO)
            return VI_SUCCESS;
        if (st != VI_SUCCESS)
            return st;
    }
}

ViStatus SocketTransport::set_interface_attribute(ViAttr attr, ViAttrState value) {
    switch (attr) {
        case VI_ATTR_TCPIP_NODELAY:
            if (value != VI_TRUE && value != VI_FALSE)
                return VI_ERROR_NSUP_ATTR_STATE;
            if (!connection_->set_nodelay(value == VI_TRUE))
                return VI_ERROR_SYSTEM_ERROR;
            nodelay_ = value == VI_TRUE;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_KEEPALIVE:
            if (value != VI_TRUE && value != VI_FALSE)
                return VI_ERROR_NSUP_ATTR_STATE;
            if (!connection_->set_keepalive(value == VI_TRUE))
                return VI_ERROR_SYSTEM_ERROR;
            keepalive_ = value == VI_TRUE;
            return VI_SUCCESS;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus SocketTransport::get_interface_attribute(ViAttr attr, ViAttrState& value) const {
    switch (attr) {
        case VI_ATTR_TCPIP_NODELAY:
            value = nodelay_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_KEEPALIVE:
            value = keepalive_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus open_socket_transport(const std::string& host, std::uint16_t port, Deadline deadline,
                               std::unique_ptr<Transport>& out) {
    std::vector<HostAddress> addresses;
    ViStatus st = resolve_host(host, deadline, addresses);
    if (st != VI_SUCCESS)
        return st;
    std::unique_ptr<TcpConnection> connection;
    st = TcpConnection::connect(addresses, port, deadline, connection);
    if (st != VI_SUCCESS)
        return st;
    LanFacts facts;
    facts.address = address_text(connection->peer());
    facts.hostname = is_address_literal(host) ? std::string() : host;
    facts.port = port;
    facts.is_socket = true;
    out = std::make_unique<SocketTransport>(std::move(connection), std::move(facts));
    return VI_SUCCESS;
}

}  // namespace sgvisa::lan
