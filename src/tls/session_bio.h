// The socket transport under a TLS session: send and receive callbacks for
// mbedtls_ssl_set_bio that never block and never raise SIGPIPE.
#pragma once

#include <cstddef>

// ctx is the session's TlsSession; both run only under its lock.
//
// send: > 0 bytes taken; MBEDTLS_ERR_SSL_WANT_WRITE when the socket is full;
// MBEDTLS_ERR_NET_CONN_RESET when the peer reset or vanished;
// MBEDTLS_ERR_NET_SEND_FAILED otherwise. Never 0 for len > 0, which the
// library would take as progress. Keeps TlsSession::out_dirty equal to "the
// library still holds unsent bytes": it sends its whole queue in every call
// and calls again while any is left.
int tls_bio_send(void* ctx, const unsigned char* buf, size_t len);

// recv: > 0 bytes read; 0 at the end of the stream;
// MBEDTLS_ERR_SSL_WANT_READ when nothing has arrived;
// MBEDTLS_ERR_NET_CONN_RESET or MBEDTLS_ERR_NET_RECV_FAILED on failure.
int tls_bio_recv(void* ctx, unsigned char* buf, size_t len);
