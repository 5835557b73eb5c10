#include "tls/session_bio.h"

#include <climits>

#include <mbedtls/net_sockets.h>  // only for its error codes
#include <mbedtls/ssl.h>

#include "platform/socket.h"
#include "tls/tls_session.h"

namespace {

// The library never asks for more than one record; the clamp only keeps the
// int result honest.
size_t clamp_to_int(size_t len) { return len > INT_MAX ? INT_MAX : len; }

int failure_code(int generic) {
    return plat::last_error_was_reset() ? MBEDTLS_ERR_NET_CONN_RESET : generic;
}

}  // namespace

int tls_bio_send(void* ctx, const unsigned char* buf, size_t len) {
    auto* s = static_cast<TlsSession*>(ctx);
    len = clamp_to_int(len);
    long n = plat::socket_send_handover(s->sock, s->out_slot, buf, len);
    s->out_dirty = !(n >= 0 && static_cast<size_t>(n) == len);
    if (n > 0 || (n == 0 && len == 0)) return static_cast<int>(n);
    if (n == plat::kWouldBlock) return MBEDTLS_ERR_SSL_WANT_WRITE;
    if (n == 0) return MBEDTLS_ERR_NET_SEND_FAILED;  // no progress is no success
    return failure_code(MBEDTLS_ERR_NET_SEND_FAILED);
}

int tls_bio_recv(void* ctx, unsigned char* buf, size_t len) {
    auto* s = static_cast<TlsSession*>(ctx);
    long n = plat::socket_recv_nowait(s->sock, buf, clamp_to_int(len));
    if (n >= 0) return static_cast<int>(n);
    if (n == plat::kWouldBlock) return MBEDTLS_ERR_SSL_WANT_READ;
    return failure_code(MBEDTLS_ERR_NET_RECV_FAILED);
}
