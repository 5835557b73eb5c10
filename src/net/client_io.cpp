// Reads from and writes to the client, over TLS or over the plain socket.
#include "net/client_conn.h"

#include "platform/deadline.h"

namespace {

// Takes what has arrived, and sleeps in the platform's timed wait while
// nothing has: the deadline holds across every read, however the client
// spreads its bytes.
long read_by(ClientConn& conn, char* buf, size_t cap, long long deadline) {
    for (;;) {
        if (plat::time_left(deadline) == 0 || (conn.woken && conn.woken->is_set())) return 0;
        long n = plat::socket_recv_nowait(conn.sock, buf, cap);
        if (n != plat::kWouldBlock) return n > 0 ? n : 0;
        if (plat::wait_readable(conn.sock, plat::time_left(deadline), conn.woken) !=
            plat::Wait::kReady) {
            return 0;
        }
    }
}

}  // namespace

long client_read(ClientConn& conn, char* buf, size_t cap, long long deadline) {
    if (conn.tls) return tls_session_read(conn.session, buf, cap, deadline);
    if (deadline >= 0) return read_by(conn, buf, cap, deadline);
    long n = plat::socket_recv(conn.sock, buf, cap, conn.woken);
    return n > 0 ? n : 0;
}

bool client_write_all(ClientConn& conn, const char* buf, size_t len) {
    if (conn.tls) return tls_session_write_all(conn.session, buf, len);
    return plat::socket_send_all(conn.sock, buf, len, conn.woken);
}
