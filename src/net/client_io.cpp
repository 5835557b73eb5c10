// Reads from and writes to the client, over TLS or over the plain socket.
#include "net/client_conn.h"

#include "net/timed_io.h"
#include "platform/deadline.h"

namespace {

// Sleeps in the platform's timed wait until bytes arrive, then takes them:
// the limit holds across every read, however the client spreads its bytes.
// A limit that moved on while the wait slept is waited for again. (Waiting
// first costs the idle keep-alive connection one call less than trying
// first.)
long read_within(ClientConn& conn, char* buf, size_t cap, const plat::WaitLimit& limit) {
    for (;;) {
        int left = limit.left_ms();
        if (left == 0) return 0;
        plat::Wait w = plat::wait_readable(conn.sock, left, conn.woken);
        if (w == plat::Wait::kWoken) return 0;
        if (w == plat::Wait::kTimeout) continue;
        long n = plat::socket_recv_nowait(conn.sock, buf, cap);
        if (n != plat::kWouldBlock) return n > 0 ? n : 0;
    }
}

}  // namespace

long client_read(ClientConn& conn, char* buf, size_t cap, const plat::WaitLimit* limit) {
    if (conn.tls) return tls_session_read(conn.session, buf, cap, limit);
    long n = limit ? read_within(conn, buf, cap, *limit)
                   : plat::socket_recv(conn.sock, buf, cap, conn.woken);
    if (n <= 0) return 0;
    note_moved(conn.moved_at);
    return n;
}

bool client_write_all(ClientConn& conn, const char* buf, size_t len,
                      const plat::WaitLimit* limit) {
    if (conn.tls) return tls_session_write_all(conn.session, buf, len, limit);
    if (limit) {
        return send_all_within(conn.sock, conn.out_slot, buf, len, *limit, conn.woken,
                               conn.moved_at);
    }
    return plat::socket_send_all(conn.sock, buf, len, conn.woken);
}
