#include "socket_bio.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace sgsecure {

namespace {

int fd_of(BIO* b) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(b)));
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int socket_write(BIO* b, const char* data, int len) {
    BIO_clear_retry_flags(b);
    const ssize_t n = send(fd_of(b), data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && would_block(errno))
        BIO_set_retry_write(b);
    return static_cast<int>(n);
}

int socket_read(BIO* b, char* data, int len) {
    BIO_clear_retry_flags(b);
    const ssize_t n = recv(fd_of(b), data, static_cast<std::size_t>(len), 0);
    if (n < 0 && would_block(errno))
        BIO_set_retry_read(b);
    return static_cast<int>(n);
}

long socket_ctrl(BIO*, int cmd, long, void*) {
    // Writes go straight to the socket: there is nothing to flush.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int socket_create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

const BIO_METHOD* socket_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sgsecure socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, socket_write);
            BIO_meth_set_read(m, socket_read);
            BIO_meth_set_ctrl(m, socket_ctrl);
            BIO_meth_set_create(m, socket_create);
        }
        return m;
    }();
    return method;
}

}  // namespace

BIO* new_socket_bio(int fd) {
    const BIO_METHOD* m = socket_method();
    BIO* b = m != nullptr ? BIO_new(m) : nullptr;
    if (b != nullptr)
        BIO_set_data(b, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    return b;
}

}  // namespace sgsecure
