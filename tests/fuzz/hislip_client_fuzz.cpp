// Fuzz target: the library's HiSLIP client against any bytes a server may
// send. Input: byte 0 picks the read size and whether reads stop at a
// linefeed; byte 1 where the rest is split into the synchronous channel's
// stream and the asynchronous one's, each of which then ends. Writes,
// reads, status-byte reads, a device clear and a lock run on them (the
// asynchronous channel's reader thread takes its stream meanwhile): no
// read past a buffer, no unbounded memory, no wait (the streams end, so
// every wait ends at once).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lan/hislip_transport.h"
#include "lan/tcp_connection.h"

namespace lan = sgvisa::lan;

namespace {

// Our end of a stream of `n` bytes that then ends, in sv[0]; the server's
// end, which takes what we send unread, in sv[1].
bool stream_of(const std::uint8_t* bytes, std::size_t n, int (&sv)[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;
    for (std::size_t at = 0; at < n;) {
        const ssize_t k = ::send(sv[1], bytes + at, n - at, MSG_NOSIGNAL);
        if (k <= 0)
            break;
        at += static_cast<std::size_t>(k);
    }
    ::shutdown(sv[1], SHUT_WR);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // What fits in the sockets' buffers, so that writing it never blocks.
    if (size < 2 || size > 64 * 1024)
        return 0;
    const std::size_t split = (size - 2) * data[1] / 256;
    int sync[2];
    int async[2];
    if (!stream_of(data + 2, split, sync))
        return 0;
    if (stream_of(data + 2 + split, size - 2 - split, async)) {
        lan::HislipSession session;
        session.max_to_server = 64;
        session.max_from_server = 4096;
        lan::HislipTransport t(
            std::make_unique<lan::HislipChannel>(lan::TcpConnection::adopt(sync[0]), "sync"),
            std::make_unique<lan::HislipChannel>(lan::TcpConnection::adopt(async[0]), "async"),
            session, {});
        sgvisa::ReadStop stop;
        stop.term_char_enabled = (data[0] & 0x80) != 0;
        std::vector<std::uint8_t> buf(1 + (data[0] & 0x7F));
        static constexpr std::uint8_t kQuery[] = "MEAS:VOLT? CH1;*OPC?\n";
        for (int i = 0; i < 8 && !t.lost(); ++i) {
            const sgvisa::Deadline later = sgvisa::deadline_after_ms(1000);
            sgvisa::ReadResult r;
            std::uint8_t stb = 0;
            if (i % 4 == 0)
                (void)t.write(kQuery, true, later);
            else if (i % 4 == 1 && t.read(buf, stop, later, r) >= 0 && r.count > buf.size())
                __builtin_trap();
            else if (i % 4 == 2)
                (void)t.read_status_byte(later, stb);
            else if (i % 4 == 3)
                (void)(i == 3 ? t.clear(later) : t.lock_device(later, "key"));
        }
        ::close(async[1]);
    } else {
        ::close(sync[0]);
    }
    ::close(sync[1]);
    return 0;
}
