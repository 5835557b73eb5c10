#include "net/backend.h"

#include "net/connection_registry.h"
#include "net/fixed_reply.h"
#include "net/head_rewrite.h"
#include "net/relay.h"

namespace {

constexpr char kBackendFailedResponse[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 26\r\n"
    "Connection: close\r\n\r\nbackend connection failed\n";
static_assert(sizeof kBackendFailedResponse - 1 == 119);

constexpr int kConnectTimeoutMs = 5000;

static_assert(kHeadCapacity >= kRelayChunk, "the head buffer serves as the relay buffer");

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

}  // namespace

void forward_to_backend(ClientConn& conn, ConnArgs& args, Route& route, ConnBuffers& bufs,
                        size_t filled, const RequestHead& req) {
    plat::Socket backend = plat::kNoSocket;
    switch (connect_backend(args, route, backend)) {
    case Connect::kAbandoned:
        return;
    case Connect::kFailed:
        route.errors.fetch_add(1);
        send_fixed_reply(conn, {kBackendFailedResponse, sizeof kBackendFailedResponse - 1},
                         bufs.out);
        return;
    case Connect::kStood:
        break;
    }
    route.hits.fetch_add(1);

    std::string_view bytes_read(bufs.head, filled);
    size_t len = rewrite_head(bytes_read.substr(0, req.head_len), args.client_ip,
                              conn.tls ? "https" : "http", req.host_value, bufs.out);
    if (len > 0 && plat::socket_send_all(backend, bufs.out, len)) {
        // A failed send of the early body shows again at the relay's next send.
        std::string_view early = bytes_read.substr(req.head_len);
        if (!early.empty()) plat::socket_send_all(backend, early.data(), early.size());
        relay(conn, args, backend, bufs.out, bufs.head);
    }
    registry_close_backend(args);
}
