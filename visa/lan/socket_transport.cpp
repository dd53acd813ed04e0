#include "socket_transport.h"

#include <algorithm>
#include <charconv>

#include "lan/lan_transports.h"
#include "trace/trace_reason.h"

namespace sgvisa::lan {

SocketTransport::SocketTransport(std::unique_ptr<TcpConnection> connection, PeerFacts facts)
    : connection_(std::move(connection)), peer_(std::move(facts)) {}

const UsbDeviceFacts& SocketTransport::facts() const {
    static const UsbDeviceFacts none;
    return none;
}

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
    return status_of(connection_->send(data, deadline, cancel_.fd()));
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
            return status_of(st);
        }
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

ViStatus SocketTransport::clear_device(Deadline /*deadline*/) {
    connection_->discard_pending();
    return connection_->lost() ? VI_ERROR_CONN_LOST : VI_SUCCESS;
}

ViStatus SocketTransport::query_line(std::string_view command, Deadline deadline,
                                     std::string& line) {
    line.clear();
    if (cancel_.cancelled())
        return VI_ERROR_ABORT;
    discard_unread();  // a new message: the instrument drops its unread reply too
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(command.data()),
                                              command.size());
    ViStatus st = connection_->send(bytes, deadline, cancel_.fd());
    if (st != VI_SUCCESS)
        return status_of(st);
    // A status byte's answer is a few digits; a longer line is no answer.
    constexpr std::size_t kMaxLine = 32;
    while (line.size() < kMaxLine) {
        std::uint8_t c = 0;
        std::size_t got = 0;
        st = connection_->receive_some(std::span<std::uint8_t>(&c, 1), deadline, cancel_.fd(), got);
        if (st != VI_SUCCESS)
            return status_of(st);
        if (c == '\n')
            return VI_SUCCESS;
        line += static_cast<char>(c);
    }
    return VI_ERROR_IO;
}

ViStatus SocketTransport::read_status_byte(Deadline deadline, std::uint8_t& status) {
    if (io_prot_ != VI_PROT_4882_STRS)
        return VI_ERROR_INV_SETUP;
    std::string line;
    const ViStatus st = query_line("*STB?\n", deadline, line);
    if (st != VI_SUCCESS)
        return st;
    const auto first = line.find_first_not_of(" \t+");
    unsigned value = 0;
    const char* begin = line.data() + std::min(first, line.size());
    const char* end = line.data() + line.size();
    while (end > begin && (end[-1] == '\r' || end[-1] == ' '))
        --end;
    const auto [at, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc{} || at != end || begin == end || value > 255) {
        trace::note_reason([&] { return "the answer to *STB? was not a status byte: " + line; });
        return VI_ERROR_IO;
    }
    status = static_cast<std::uint8_t>(value);
    return VI_SUCCESS;
}

ViStatus SocketTransport::assert_trigger(Deadline deadline) {
    if (io_prot_ != VI_PROT_4882_STRS)
        return VI_ERROR_INV_SETUP;
    if (cancel_.cancelled())
        return VI_ERROR_ABORT;
    discard_unread();
    static constexpr std::uint8_t kTrigger[] = {'*', 'T', 'R', 'G', '\n'};
    return status_of(connection_->send(kTrigger, deadline, cancel_.fd()));
}

ViStatus SocketTransport::set_interface_attribute(ViAttr attr, ViAttrState value) {
    switch (attr) {
        case VI_ATTR_IO_PROT:
            if (value != VI_PROT_NORMAL && value != VI_PROT_4882_STRS)
                return VI_ERROR_NSUP_ATTR_STATE;
            io_prot_ = static_cast<ViUInt16>(value);
            return VI_SUCCESS;
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
        case VI_ATTR_IO_PROT:
            value = io_prot_;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_NODELAY:
            value = nodelay_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_KEEPALIVE:
            value = keepalive_ ? VI_TRUE : VI_FALSE;
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_PORT:
            value = peer_.port;
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
    PeerFacts facts;
    facts.address = address_text(connection->peer());
    facts.hostname = is_address_literal(host) ? std::string() : host;
    facts.port = port;
    out = std::make_unique<SocketTransport>(std::move(connection), std::move(facts));
    return VI_SUCCESS;
}

}  // namespace sgvisa::lan
