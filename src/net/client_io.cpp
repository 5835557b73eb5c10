// Reads from and writes to the client, over TLS or over the plain socket.
#include "net/client_conn.h"

long client_read(ClientConn& conn, char* buf, size_t cap) {
    if (conn.tls) return tls_session_read(conn.session, buf, cap);
    long n = plat::socket_recv(conn.sock, buf, cap, conn.woken);
    return n > 0 ? n : 0;
}

bool client_write_all(ClientConn& conn, const char* buf, size_t len) {
    if (conn.tls) return tls_session_write_all(conn.session, buf, len);
    return plat::socket_send_all(conn.sock, buf, len, conn.woken);
}
