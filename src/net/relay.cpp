#include "net/relay.h"

#include "platform/thread.h"
#include "state.h"

namespace {

// Longest wait for the relay thread after the backend socket was shut down.
// It is still running after that only when it is blocked writing to a client
// that does not read.
constexpr int kRelayWaitMs = 6000;

void client_to_backend(ClientConn& conn, plat::Socket backend, const std::atomic<int>& done,
                       std::span<char> buf) {
    while (!done.load()) {
        if (g.stop_requested.load()) return;
        long n = client_read(conn, buf.data(), kRelayChunk);
        if (n <= 0) return;
        if (!plat::socket_send_all(backend, buf.data(), static_cast<size_t>(n))) return;
    }
}

}  // namespace

void backend_to_client(void* arg) {
    auto& r = *static_cast<RelayArgs*>(arg);
    for (;;) {
        long n = plat::socket_recv(r.backend_sock, r.buf.data(), kRelayChunk);
        if (n <= 0 || !client_write_all(*r.conn, r.buf.data(), static_cast<size_t>(n))) break;
    }
    plat::socket_shutdown(r.backend_sock);
    // A TLS connection thread waits for the client in poll, not in short
    // would-block pauses, so it would miss `done` until the client acted;
    // ending its read lets the connection close as soon as the backend has.
    if (r.conn->tls) plat::socket_shutdown_read(r.conn->sock);
    std::atomic<int>* done = &r.done;
    done->store(1);          // the last use of r, which may be gone right after
    plat::wake_word(done);
}

void relay(ClientConn& conn, ConnArgs& args, plat::Socket backend, std::span<char> client_buf,
           std::span<char> backend_buf) {
    RelayArgs r;
    r.conn = &conn;
    r.backend_sock = backend;
    r.buf = backend_buf;
    if (!g.relay_workers.run(backend_to_client, &r)) return;
    args.relaying = true;
    client_to_backend(conn, backend, r.done, client_buf);

    // The backend shutdown ends the relay thread's read. If it is stuck in a
    // write to a client that does not read, the client shutdown ends that
    // too, so the relay never outlives the records it uses. Setting `done`
    // is its last use of them.
    plat::socket_shutdown(backend);
    if (!plat::wait_on_word(r.done, 0, kRelayWaitMs)) {
        plat::socket_shutdown(conn.sock);
        plat::wait_on_word(r.done, 0, -1);
    }
}
