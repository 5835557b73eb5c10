#include "net/connection.h"

#include <span>

#include "net/backend.h"
#include "net/connection_registry.h"
#include "net/fixed_reply.h"
#include "net/request_head.h"
#include "net/route_select.h"
#include "state.h"

namespace {

constexpr char kNoRouteResponse[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 19\r\n"
    "Connection: close\r\n\r\nno matching route\r\n";
static_assert(sizeof kNoRouteResponse - 1 == 112);

// Reads until the buffer holds a complete head. Returns the bytes read (the
// head and any body bytes that came with it), or 0 when the connection is to
// close without a response: the client closed or failed, the head is
// malformed, 16383 bytes hold no end-of-head marker, or the deadline passed
// (it bounds the whole head, not each read). Stop ends a waiting client by
// waking it.
size_t read_request_head(ClientConn& conn, char (&buf)[kHeadCapacity], RequestHead& req,
                         long long deadline) {
    size_t filled = 0;
    while (filled < kHeadMaxBytes) {
        long n = client_read(conn, buf + filled, kHeadMaxBytes - filled, deadline);
        if (n <= 0) return 0;
        filled += static_cast<size_t>(n);
        buf[filled] = '\0';
        switch (parse_request_head(buf, req)) {
        case HeadStatus::kComplete: return filled;
        case HeadStatus::kMalformed: return 0;
        case HeadStatus::kIncomplete: break;
        }
    }
    return 0;
}

std::span<Route> route_table() {
    int n = g.route_count;
    if (n < 0) n = 0;
    if (n > kMaxRoutes) n = kMaxRoutes;
    return {g.routes, static_cast<size_t>(n)};
}

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
        if (tls_session_open(conn, args.head_deadline) == 0) handle_connection_inner(conn, args);
        tls_session_close(conn, args.client_end.load() != kEndCut);
    }
    registry_close_client(args);
    conn.sock = plat::kNoSocket;
}

}  // namespace

void handle_connection_inner(ClientConn& conn, ConnArgs& args) {
    // The parsed head goes above the buffers: below them, its scattered
    // fields would spread the frames called from here over one more page.
    struct {
        ConnBuffers bufs;
        RequestHead req;
    } area;
    ConnBuffers& bufs = area.bufs;
    RequestHead& req = area.req;
    size_t filled = read_request_head(conn, bufs.head, req, args.head_deadline);
    if (filled == 0 || !claim_head(args)) return;
    std::span<Route> routes = route_table();
    int i = select_route(routes, req.host_name, req.target);
    if (i < 0) {
        send_fixed_reply(conn, {kNoRouteResponse, sizeof kNoRouteResponse - 1}, bufs.out);
        return;
    }
    forward_to_backend(conn, args, routes[static_cast<size_t>(i)], bufs, filled, req);
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
