#include "net/fixed_reply.h"

#include "platform/deadline.h"

void discard_client_input(ClientConn& conn, std::span<char> scratch) {
    const long long deadline = plat::deadline_after(kLingerMs);
    for (;;) {
        int left = plat::time_left(deadline);
        if (left == 0) return;
        if (plat::wait_readable(conn.sock, left, conn.woken) != plat::Wait::kReady) return;
        long n = plat::socket_recv_nowait(conn.sock, scratch.data(), scratch.size());
        if (n != plat::kWouldBlock && n <= 0) return;
    }
}

void linger_close(ClientConn& conn, std::span<char> scratch) {
    if (conn.tls && !tls_session_end_output(conn.session)) return;
    plat::socket_shutdown_write(conn.sock);
    discard_client_input(conn, scratch);
}

void send_fixed_reply(ClientConn& conn, std::string_view reply, std::span<char> scratch) {
    if (!client_write_all(conn, reply.data(), reply.size())) return;
    linger_close(conn, scratch);
}
