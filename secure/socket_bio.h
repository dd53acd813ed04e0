// An OpenSSL BIO over a socket another layer owns. OpenSSL's own socket BIO
// writes with write(2), and a peer gone away then raises SIGPIPE, which
// would end the program that loaded the library; this one sends with
// MSG_NOSIGNAL, so that it is an error like any other. It never closes the
// descriptor.
#pragma once

#include <openssl/bio.h>

namespace sgsecure {

// A new BIO on `fd` (non-blocking: a call that would wait asks to be
// retried), or nullptr when OpenSSL has no memory.
BIO* new_socket_bio(int fd);

}  // namespace sgsecure
