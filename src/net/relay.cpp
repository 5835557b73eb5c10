#include "net/relay.h"

#include "net/connection_registry.h"
#include "net/fixed_reply.h"
#include "net/h1_reader.h"
#include "net/timed_io.h"
#include "platform/thread.h"
#include "state.h"

namespace {

enum class RelayEnd { kTornDown, kAnswered, kCut };

// What one read from the backend holds, response by response.
struct Scan {
    size_t pass = 0;          // bytes that go to the client
    unsigned completed = 0;   // final responses whose last byte is among them
    bool upgraded = false;    // the last of them is a 101
    bool early = false;       // the last of them came before its request's whole body
    bool broken = false;      // the bytes after `pass` break the framing or answer nothing
};

// The responses of one backend connection, as the relay thread reads them.
struct Responses {
    H1Reader reader = h1_reader(H1Kind::kResponse);
    unsigned delivered = 0;   // final responses that reached the client
};

unsigned count_diff(unsigned a, unsigned b) { return (a - b) & kXCountMask; }

// Reads the framing of n bytes from the backend without changing a byte.
// Each response belongs to the oldest request not yet answered; bytes that
// begin a response when none is due, and anything after a final response
// that answered early, go nowhere.
Scan scan(Responses& rs, const Exchange& x, const char* p, size_t n) {
    Scan s;
    H1Reader& rd = rs.reader;
    size_t pos = 0;
    for (;;) {
        if (h1_between(rd)) {
            if (pos == n) break;
            unsigned k = (rs.delivered + s.completed) & kXCountMask;
            if (count_diff(x.forwarded.load(), k) == 0) {
                s.broken = true;  // a stray answer must never pass for a later one's
                break;
            }
            h1_expect_response(rd, x.expects[k % kMaxOutstanding]);
        }
        size_t used = 0;
        H1Event ev = h1_read(rd, p + pos, n - pos, used);
        pos += used;
        s.pass = pos;
        if (ev == H1Event::kError) {
            s.broken = true;
            break;
        }
        if (ev == H1Event::kMore) break;
        if (ev == H1Event::kHead || (rd.status < 200 && rd.status != 101)) continue;
        unsigned k = (rs.delivered + s.completed) & kXCountMask;
        ++s.completed;
        if (rd.status == 101) {
            s.upgraded = true;  // the rest is the tunnel's
        } else if (count_diff(x.bodies_sent.load(), k) == 0) {
            // The backend did not read the whole body: what it did not read
            // could be taken for the next request (RFC 9112 9.6).
            s.early = true;
            break;
        }
    }
    return s;
}

// Tells the connection thread that responses reached the client. When the
// last outstanding one did, the client's time for its next head begins, and
// a connection already waiting for it is one that stop may end at once.
void publish(RelayArgs& r, Responses& rs, const Scan& s) {
    if (s.completed == 0) return;
    Exchange& x = *r.x;
    rs.delivered = (rs.delivered + s.completed) & kXCountMask;
    const bool idle = count_diff(x.forwarded.load(), rs.delivered) == 0;
    if (idle) x.head_since.store(plat::monotonic_ms());
    int add = static_cast<int>(s.completed) * kXDeliveredUnit;
    if (s.upgraded) add |= kXUpgraded;
    int old = x.word.fetch_add(add);
    if (old & kXWaiting) plat::wake_word(&x.word);
    if (idle && (old & kXReadingHead)) {
        if (!arm_head_wait(*r.args)) {
            plat::socket_wake(r.conn->sock, r.args->woken);
        } else if (!(x.word.load() & kXReadingHead)) {
            disarm_head_wait(*r.args);  // the head came in meanwhile
        }
    }
}

void end_output(ClientConn& conn) {
    if (conn.tls) tls_session_end_output(conn.session);
    else plat::socket_shutdown_write(conn.sock);
}

void announce_end(RelayArgs& r) {
    int old = r.x->word.fetch_or(kXRelayEnded);
    if (old & kXWaiting) plat::wake_word(&r.x->word);
}

// The backend's side ended in order. Unless the connection's end was decided
// otherwise first, the client reads the end after every byte; then it has a
// moment to finish sending before the connection thread is woken to close.
// A tunnel ends as a byte pipe does: the client's side stays until it sends
// or closes.
void end_answered(RelayArgs& r, bool tunnel) {
    // Announced first: once the client has read the end, whatever it sends
    // must find the connection thread knowing that this backend is gone.
    announce_end(r);
    if (!decide_client_end(*r.args, kEndAnswered)) return;
    end_output(*r.conn);
    if (tunnel) return;
    if (!plat::wait_on_word(r.tearing_down, 0, kLingerMs)) {
        plat::socket_wake(r.conn->sock, r.args->woken);
    }
}

// The answer was cut: the connection thread is woken to close with a reset.
void end_cut(RelayArgs& r) {
    if (decide_client_end(*r.args, kEndCut)) plat::socket_wake(r.conn->sock, r.args->woken);
    announce_end(r);
}

// The idle limit, when set, holds for the backend's silence and for a client
// that takes nothing: either cuts the answer.
RelayEnd relay_responses(RelayArgs& r, char* buf, size_t chunk, Responses& rs) {
    const IdleClock idle(*r.x);
    for (;;) {
        long n = idle.on() ? recv_within(r.backend_sock, buf, chunk, idle)
                           : plat::socket_recv(r.backend_sock, buf, chunk);
        if (r.tearing_down.load()) return RelayEnd::kTornDown;
        if (n < 0 || idle.expired()) return RelayEnd::kCut;
        if (n == 0) return RelayEnd::kAnswered;
        r.x->moved();
        Scan s = scan(rs, *r.x, buf, static_cast<size_t>(n));
        if (s.early) {
            // Before the answer goes out, so that nothing the client sends
            // once it has read it can pass; flagged before the shutdown, so
            // that the connection thread takes the failure of its next send
            // for what it is.
            r.x->word.fetch_or(kXEarlyAnswer);
            plat::socket_shutdown_write(r.backend_sock);
        }
        if (s.pass > 0 && !client_write_all(*r.conn, buf, s.pass, idle.limit())) {
            return RelayEnd::kCut;
        }
        publish(r, rs, s);
        if (s.early) return RelayEnd::kAnswered;
        if (s.broken) return RelayEnd::kCut;
    }
}

}  // namespace

void backend_to_client(void* arg) {
    auto& r = *static_cast<RelayArgs*>(arg);
    char buf[kRelayChunk];
    // Over TLS each read takes at most one record's plaintext, so that every
    // record goes out full (16384 bytes would make a TLS 1.3 record of 16383
    // and one of a single byte).
    const size_t chunk =
        r.conn->tls ? tls_session_record_payload(r.conn->session, kRelayChunk) : kRelayChunk;
    Responses rs;
    switch (relay_responses(r, buf, chunk, rs)) {
    case RelayEnd::kTornDown: announce_end(r); break;
    case RelayEnd::kAnswered: end_answered(r, h1_tunnel(rs.reader)); break;
    case RelayEnd::kCut: end_cut(r); break;
    }
    plat::socket_shutdown(r.backend_sock);
    std::atomic<int>* done = &r.done;
    done->store(1);          // the last use of r, which may be gone right after
    plat::wake_word(done);
}
