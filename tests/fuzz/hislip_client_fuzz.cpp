// Fuzz target: the library's HiSLIP client against any bytes a server may
// send. Input: byte 0 picks the read size and whether reads stop at a
// linefeed; byte 1 where the rest is split: the synchronous channel's
// stream, then the asynchronous one's, each of which then ends. A series of
// writes, reads, status-byte reads, a device clear and a lock runs on them
// (the asynchronous channel's reader thread takes its stream meanwhile):
// malformed headers, unknown types, stale MessageIDs, giant lengths and
// answers of the wrong type must end in a status, never a read past a
// buffer, unbounded memory or a wait (the streams end, so every wait ends
// at once).
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

// A stream of `bytes` that then ends: our end in sv[0], the server's (which
// takes what we send, unread) in sv[1]; false when there is none.
bool stream_of(const std::uint8_t* bytes, std::size_t n, int (&sv)[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;
    std::size_t at = 0;
    while (at < n) {
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
    const std::size_t rest = size - 2;
    const std::size_t split = rest * data[1] / 256;
    int sync_fd[2];
    int async_fd[2];
    if (!stream_of(data + 2, split, sync_fd))
        return 0;
    if (!stream_of(data + 2 + split, rest - split, async_fd)) {
        ::close(sync_fd[0]);
        ::close(sync_fd[1]);
        return 0;
    }
    {
        lan::HislipSession session;
        session.max_to_server = 64;
        session.max_from_server = 4096;
        lan::HislipTransport t(
            std::make_unique<lan::HislipChannel>(lan::TcpConnection::adopt(sync_fd[0]), "sync"),
            std::make_unique<lan::HislipChannel>(lan::TcpConnection::adopt(async_fd[0]), "async"),
            session, {});
        sgvisa::ReadStop stop;
        stop.term_char_enabled = (data[0] & 0x80) != 0;
        std::vector<std::uint8_t> buf(1 + (data[0] & 0x7F));
        static constexpr std::uint8_t kQuery[] = "MEAS:VOLT? CH1;*OPC?\n";
        for (int i = 0; i < 8 && !t.lost(); ++i) {
            const sgvisa::Deadline later = sgvisa::deadline_after_ms(1000);
            sgvisa::ReadResult r;
            std::uint8_t stb = 0;
            switch (i % 4) {
                case 0:
                    (void)t.write(kQuery, true, later);
                    break;
                case 1:
                    if (t.read(buf, stop, later, r) >= 0 && r.count > buf.size())
                        __builtin_trap();
                    break;
                case 2:
                    (void)t.read_status_byte(later, stb);
                    break;
                default:
                    (void)(i == 3 ? t.clear(later) : t.lock_device(later, "key"));
            }
        }
    }
    ::close(sync_fd[1]);
    ::close(async_fd[1]);
    return 0;
}
