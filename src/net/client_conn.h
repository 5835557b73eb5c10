// One client connection, and reads and writes on it that follow its TLS flag.
#pragma once

#include <cstddef>

#include "platform/socket.h"
#include "tls/tls_session.h"

struct ClientConn {
    int tls = 0;
    plat::Socket sock = plat::kNoSocket;
    TlsSession session;
};

// > 0: bytes read (at most cap); 0: the client closed or the read failed.
long client_read(ClientConn& conn, char* buf, size_t cap);

// Writes all len bytes; false when a write failed.
bool client_write_all(ClientConn& conn, const char* buf, size_t len);
