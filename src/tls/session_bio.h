// The socket transport under a TLS session: send and receive callbacks for
// mbedtls_ssl_set_bio that never block and never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

// Records in a row that carry nothing for the application (alerts and
// ChangeCipherSpec) that a session takes; the next one ends it. A peer
// sends at most three in a row: a TLS 1.3 compatibility ChangeCipherSpec, a
// warning such as user_canceled, and close_notify. The library handles such
// records in a loop of its own, without ever returning to its caller, so a
// peer streaming them would otherwise keep a thread busy for as long as it
// likes.
constexpr uint8_t kEmptyRecordRunMax = 4;

// The record headers of the bytes the library reads, followed as they pass:
// the library reads each record's 5-byte header, then its body, and never
// more (ssl_msg.c, mbedtls_ssl_fetch_input).
struct RecordRun {
    uint8_t type = 0;         // of the record whose header is being read
    uint8_t have = 0;         // header bytes seen
    uint16_t length = 0;
    uint32_t body_left = 0;
    uint8_t empty = 0;        // alert and ChangeCipherSpec records in a row
};

// Follows n received bytes. False once a run goes past kEmptyRecordRunMax.
bool record_run_take(RecordRun& run, const unsigned char* p, size_t n);

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
// MBEDTLS_ERR_NET_CONN_RESET or MBEDTLS_ERR_NET_RECV_FAILED on failure;
// MBEDTLS_ERR_SSL_TIMEOUT, before receiving, once the session's time limit
// is up or the connection was woken while one runs;
// MBEDTLS_ERR_SSL_UNEXPECTED_MESSAGE when the bytes would make too long a
// run of records that carry nothing.
int tls_bio_recv(void* ctx, unsigned char* buf, size_t len);
