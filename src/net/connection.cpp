#include "net/connection.h"

#include "net/connection_registry.h"
#include "net/request_loop.h"
#include "state.h"

namespace {

// A cut connection ends without a close-notify and with a reset, so that
// the client cannot take what it received for a whole answer.
void serve(ConnArgs& args) {
    ClientConn conn{};
    conn.tls = args.tls;
    conn.sock = args.sock;
    conn.woken = &args.woken;
    if (!conn.tls) {
        handle_connection_inner(conn, args);
    } else {
        // The handshake shares the first head's time, from the accept.
        const plat::Deadline handshake(
            g.head_timeout_ms > 0 ? args.accepted_at + g.head_timeout_ms : -1);
        if (tls_session_open(conn, &handshake) == 0) handle_connection_inner(conn, args);
        tls_session_close(conn, args.client_end.load() != kEndCut);
    }
    registry_close_client(args);
    conn.sock = plat::kNoSocket;
}

}  // namespace

void handle_connection_inner(ClientConn& conn, ConnArgs& args) {
    // Plain writes that hold to the idle limit hand their bytes over to the
    // system while they wait (timed_io.h).
    const bool plain_timed = g.idle_timeout_ms > 0 && !conn.tls;
    if (plain_timed && !plat::send_slot_open(conn.out_slot)) return;
    RequestLoop q(conn, args);
    serve_requests(q);
    backend_close(q.backend, conn, args);
    if (plain_timed) plat::send_slot_close(conn.sock, conn.out_slot);
    // The progress time lives in q: the close-notify sent after this must
    // not write to it.
    conn.moved_at = nullptr;
    conn.session.moved_at = nullptr;
}

void connection_handler(void* arg) {
    auto* args = static_cast<ConnArgs*>(arg);
    g.active_connections.fetch_add(1);
    g.total_connections.fetch_add(1);
    serve(*args);
    g.active_connections.fetch_sub(1);
    registry_remove(*args);
    delete args;
}
