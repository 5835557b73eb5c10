// TLS credentials shared by all connections, and the TLS session of one
// connection.
#pragma once

#include <cstddef>
#include <mutex>

#include <mbedtls/ssl.h>

#include "platform/socket.h"

struct ClientConn;

// One connection's TLS session. After the handshake the connection thread
// reads it while the relay thread writes it; the lock serialises the library
// calls and is never held across a wait for the socket.
struct TlsSession {
    mbedtls_ssl_context ssl;
    std::mutex lock;
    plat::Socket sock = plat::kNoSocket;
    bool out_dirty = false;     // bytes queued inside the library, not yet sent
    bool write_pending = false; // the writer's own record is among them
    size_t pending_len = 0;
};

// Loads the certificate chain and key named in the configuration into g.
// 0 on success; -1 with the message in g_err and nothing left loaded.
int tls_credentials_load(const char* cert_path, const char* key_path);
// Releases what tls_credentials_load set up; harmless when nothing is loaded.
void tls_credentials_free();

// Sets up the session on the shared configuration and completes the
// handshake. 0 on success, else the library's negative result.
int tls_session_open(ClientConn& conn);
// Sends a close-notify when the handshake had completed, then releases the
// session. No other thread may be using it.
void tls_session_close(ClientConn& conn);

// > 0: plaintext bytes read; 0: the client closed, or the session failed.
long tls_session_read(TlsSession& s, char* buf, size_t cap);
// True when all len bytes were written.
bool tls_session_write_all(TlsSession& s, const char* buf, size_t len);
