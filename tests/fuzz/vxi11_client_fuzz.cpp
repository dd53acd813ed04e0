// Fuzz target: the library's VXI-11 client against any bytes a device may
// send on the core channel. Input: byte 0 picks the read size and whether
// reads stop at a linefeed; the rest is the device's whole stream (replies
// to calls whose xids count from 1), which then ends. A series of writes,
// reads and status-byte reads runs on it: malformed replies, wrong xids,
// giant or split fragments and replies longer than asked must end in a
// status, never a read past a buffer, unbounded memory or a wait (the
// stream ends, so every wait ends at once).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lan/rpc_client.h"
#include "lan/tcp_connection.h"
#include "lan/vxi11_transport.h"

namespace lan = sgvisa::lan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // What fits in the socket's buffer, so that writing it never blocks.
    if (size < 1 || size > 64 * 1024)
        return 0;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    std::size_t at = 1;
    while (at < size) {
        const ssize_t n = ::send(sv[1], data + at, size - at, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    ::shutdown(sv[1], SHUT_WR);
    {
        auto core = std::make_unique<lan::RpcClient>(lan::TcpConnection::adopt(sv[0]),
                                                     lan::vxi::kCoreProgram, lan::vxi::kVersion, 1);
        lan::Vxi11Transport t(std::move(core), lan::Vxi11Link{1, 0, 16}, {},
                              std::chrono::milliseconds(0));
        sgvisa::ReadStop stop;
        stop.term_char_enabled = (data[0] & 0x80) != 0;
        std::vector<std::uint8_t> buf(1 + (data[0] & 0x7F));
        static constexpr std::uint8_t kQuery[] = "MEAS:VOLT? CH1;*OPC?\n";
        for (int i = 0; i < 6 && !t.lost(); ++i) {
            const sgvisa::Deadline later = sgvisa::deadline_after_ms(1000);
            sgvisa::ReadResult r;
            if (i % 3 == 0) {
                (void)t.write(kQuery, true, later);
            } else if (i % 3 == 1) {
                if (t.read(buf, stop, later, r) >= 0 && r.count > buf.size())
                    __builtin_trap();
            } else {
                std::uint8_t stb = 0;
                (void)t.read_status_byte(later, stb);
            }
        }
    }
    ::close(sv[1]);
    return 0;
}
