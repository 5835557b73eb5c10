#include "net/relay.h"

#include "platform/thread.h"
#include "state.h"

namespace {

// Longest wait for the relay thread after the backend socket was shut down.
// It is still running after that only when it is blocked writing to a client
// that does not read.
constexpr int kRelayWaitMs = 6000;

// Leaves the loop when the client ends (its stream or its connection), when
// the backend takes no more, or when stop is seen. A backend that fails to
// take bytes, and a stop, cut the answer unless it had already ended cleanly.
void client_to_backend(ClientConn& conn, ConnArgs& args, plat::Socket backend,
                       const std::atomic<int>& done, std::span<char> buf) {
    while (!done.load()) {
        if (g.stop_requested.is_set()) {
            decide_client_end(args, kEndCut);
            return;
        }
        long n = client_read(conn, buf.data(), kRelayChunk);
        if (n <= 0) return;
        if (!plat::socket_send_all(backend, buf.data(), static_cast<size_t>(n))) {
            decide_client_end(args, kEndCut);
            return;
        }
    }
}

// The backend ended its answer: pass the end on to the client, after every
// byte, unless the connection's end was decided otherwise first.
void end_answer(RelayArgs& r) {
    if (!decide_client_end(*r.args, kEndAnswered)) return;
    if (r.conn->tls) {
        tls_session_end_output(r.conn->session);
    } else {
        plat::socket_shutdown_write(r.conn->sock);
    }
}

}  // namespace

void backend_to_client(void* arg) {
    auto& r = *static_cast<RelayArgs*>(arg);
    // Over TLS each read takes at most one record's plaintext, so that every
    // record goes out full (16384 bytes would make a TLS 1.3 record of 16383
    // and one of a single byte).
    const size_t chunk =
        r.conn->tls ? tls_session_record_payload(r.conn->session, kRelayChunk) : kRelayChunk;
    long n;
    bool delivered = true;
    while ((n = plat::socket_recv(r.backend_sock, r.buf.data(), chunk)) > 0) {
        delivered = client_write_all(*r.conn, r.buf.data(), static_cast<size_t>(n));
        if (!delivered) break;
    }
    if (!delivered) {
        decide_client_end(*r.args, kEndCut);  // the client is gone, or the cut was decided
    } else if (n < 0) {
        // The backend failed mid-answer. The connection thread is waiting for
        // the client; waking it closes the client's connection with a reset.
        if (decide_client_end(*r.args, kEndCut)) plat::socket_wake(r.conn->sock, r.args->woken);
    } else if (!r.tearing_down.load()) {
        end_answer(r);  // an end caused by the tear-down is no end of the answer
    }
    plat::socket_shutdown(r.backend_sock);
    std::atomic<int>* done = &r.done;
    done->store(1);          // the last use of r, which may be gone right after
    plat::wake_word(done);
}

void relay(ClientConn& conn, ConnArgs& args, plat::Socket backend, std::span<char> client_buf,
           std::span<char> backend_buf) {
    RelayArgs r;
    r.conn = &conn;
    r.args = &args;
    r.backend_sock = backend;
    r.buf = backend_buf;
    if (!g.relay_workers.run(backend_to_client, &r)) return;
    client_to_backend(conn, args, backend, r.done, client_buf);

    // The backend shutdown ends the relay thread's read. If it is stuck in a
    // write to a client that does not read, waking the client ends that too
    // (and the answer is cut), so the relay never outlives the records it
    // uses. Setting `done` is its last use of them.
    r.tearing_down = 1;
    plat::socket_shutdown(backend);
    if (!plat::wait_on_word(r.done, 0, kRelayWaitMs)) {
        decide_client_end(args, kEndCut);
        plat::socket_wake(conn.sock, args.woken);
        plat::wait_on_word(r.done, 0, -1);
    }
}
