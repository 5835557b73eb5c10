// One client connection, and reads and writes on it that follow its TLS flag.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/deadline.h"
#include "platform/socket.h"
#include "tls/tls_session.h"

struct ClientConn {
    int tls = 0;
    plat::Socket sock = plat::kNoSocket;
    // The connection's wake-up word (ConnArgs::woken): once set, waits for
    // the client give up. Null only where nobody wakes the connection.
    plat::Wake* woken = nullptr;
    // With an idle limit: told of every byte moved to or from the client,
    // and the slot of a plain write handed over to the system while it
    // waits (timed_io.h).
    std::atomic<long long>* moved_at = nullptr;
    plat::SendSlot out_slot;
    TlsSession session;
};

// > 0: bytes read (at most cap); 0: the client closed, the read failed, the
// connection was woken or `limit` (null: none) is up.
long client_read(ClientConn& conn, char* buf, size_t cap,
                 const plat::WaitLimit* limit = nullptr);

// Writes all len bytes; false when a write failed, the connection was woken
// while waiting for the client to read, or `limit` (null: none) was up
// while the client took nothing.
bool client_write_all(ClientConn& conn, const char* buf, size_t len,
                      const plat::WaitLimit* limit = nullptr);
