// Reads from and writes to the client, over TLS or over the plain socket.
#include "net/client_conn.h"

#include "net/timed_io.h"

long client_read(ClientConn& conn, char* buf, size_t cap, const plat::WaitLimit* limit) {
    if (conn.tls) return tls_session_read(conn.session, buf, cap, limit);
    // With a limit, a timed wait before each receive: the limit holds
    // across every read, however the client spreads its bytes.
    long n = limit ? recv_within(conn.sock, buf, cap, *limit, conn.woken)
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
