#include "net/backend.h"

#include "net/connection_registry.h"
#include "net/fixed_reply.h"
#include "net/timed_io.h"
#include "platform/thread.h"

namespace {

constexpr char kBackendFailedResponse[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 26\r\n"
    "Connection: close\r\n\r\nbackend connection failed\n";
static_assert(sizeof kBackendFailedResponse - 1 == 119);

constexpr int kConnectTimeoutMs = 5000;

// Longest wait for the relay thread after the backend socket was shut down.
// It is still running after that only when it is blocked writing to a client
// that does not read.
constexpr int kRelayWaitMs = 6000;

enum class Connect { kStood, kFailed, kAbandoned };

// Opens the backend socket, records it so that stop can end the connect
// (stop shuts it down and wakes the connection), and connects within the
// time limit. kAbandoned: stop is under way.
Connect connect_backend(ConnArgs& args, const Route& route, plat::Socket& out) {
    plat::Socket s = plat::tcp_socket();
    if (s == plat::kNoSocket) return Connect::kFailed;
    if (!registry_set_backend(args, s)) {
        plat::socket_close(s);
        return Connect::kAbandoned;
    }
    if (!plat::socket_connect_timed(s, route.target_ip, route.target_port, kConnectTimeoutMs,
                                    &args.woken)) {
        registry_close_backend(args);
        return Connect::kFailed;
    }
    plat::socket_set_nodelay(s);
    out = s;
    return Connect::kStood;
}

void reset_exchange(Exchange& x) {
    x.forwarded.store(0);
    x.bodies_sent.store(0);
    x.word.store(0);
}

}  // namespace

BackendOpen backend_open(Backend& b, ClientConn& conn, ConnArgs& args, Exchange& x, int route,
                         std::span<char> scratch) {
    Route& r = g.routes[route];
    plat::Socket sock = plat::kNoSocket;
    switch (connect_backend(args, r, sock)) {
    case Connect::kAbandoned: return BackendOpen::kDropped;
    case Connect::kFailed:
        r.errors.fetch_add(1);
        send_fixed_reply(conn, {kBackendFailedResponse, sizeof kBackendFailedResponse - 1},
                         scratch);
        return BackendOpen::kFailed;
    case Connect::kStood: break;
    }
    r.hits.fetch_add(1);
    reset_exchange(x);
    if (x.idle_timeout_ms > 0 && !plat::send_slot_open(b.slot)) {
        registry_close_backend(args);
        return BackendOpen::kDropped;
    }
    RelayArgs& relay = b.relay;
    relay.conn = &conn;
    relay.args = &args;
    relay.x = &x;
    relay.backend_sock = sock;
    relay.tearing_down.store(0);
    relay.done.store(0);
    if (!g.relay_workers.run(backend_to_client, &relay)) {
        plat::send_slot_close(sock, b.slot);
        registry_close_backend(args);
        return BackendOpen::kDropped;
    }
    b.route = route;
    b.sock = sock;
    return BackendOpen::kOpen;
}

bool backend_send(Backend& b, Exchange& x, const char* p, size_t n) {
    const IdleClock idle(x);
    if (!idle.on()) return plat::socket_send_all(b.sock, p, n);
    return send_all_within(b.sock, b.slot, p, n, idle, nullptr, &x.moved_at);
}

// The backend shutdown ends the relay thread's read. If it is stuck in a
// write to a client that does not read, waking the client ends that too
// (and the answer is cut), so the relay never outlives the records it uses.
// Setting `done` is its last use of them.
void backend_close(Backend& b, ClientConn& conn, ConnArgs& args) {
    if (b.route < 0) return;
    RelayArgs& relay = b.relay;
    relay.tearing_down.store(1);
    plat::wake_word(&relay.tearing_down);  // a relay lingering after its end
    plat::socket_shutdown(b.sock);
    if (!plat::wait_on_word(relay.done, 0, kRelayWaitMs)) {
        decide_client_end(args, kEndCut);
        plat::socket_wake(conn.sock, args.woken);
        plat::wait_on_word(relay.done, 0, -1);
    }
    plat::send_slot_close(b.sock, b.slot);
    registry_close_backend(args);
    b.route = -1;
    b.sock = plat::kNoSocket;
}
