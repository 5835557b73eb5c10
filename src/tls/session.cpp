// One connection's TLS session: the handshake, reads by the connection
// thread, writes by the relay thread, and the orderly close.
//
// Every library call on a session is made under its lock, and every socket
// transfer inside those calls is non-blocking (session_bio.cpp), so the lock
// is held for a moment only. The waits for the socket happen outside it.
#include <algorithm>

#include "net/client_conn.h"
#include "platform/deadline.h"
#include "state.h"
#include "tls/session_bio.h"
#include "tls/tls_session.h"

namespace {

using Hold = std::lock_guard<std::mutex>;

constexpr int kCloseWaitMs = 1000;
constexpr unsigned char kNoBytes[1] = {0};

bool would_block(int rc) {
    return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE;
}

// Under the lock. After a fatal error the session takes no further call, and
// the other thread's wait for the socket ends at once.
void mark_dead(TlsSession& s) {
    s.dead = true;
    if (s.woken) plat::socket_wake(s.sock, *s.woken);
    else plat::socket_shutdown(s.sock);
}

// Under the lock. Sends the bytes the library still holds, whoever queued
// them. With a non-empty queue a zero-length write only flushes it; it never
// makes an empty record. A pending record of the writer is sent too, and the
// writer counts it on its next step.
// 0: nothing is left queued; else the library's result (WANT_WRITE or failure).
int flush_queued(TlsSession& s) {
    if (!s.out_dirty) return 0;
    int rc = mbedtls_ssl_write(&s.ssl, kNoBytes, 0);
    return rc < 0 ? rc : 0;
}

// Under the lock. One step of writing the n bytes at p, which stay the same
// until a pending record is resolved.
// > 0: that many bytes of p are sent or queued for good; 0: only bytes of
// another call were sent, step again; < 0: the library's result.
int write_step(TlsSession& s, const char* p, size_t n) {
    if (s.write_pending && !s.out_dirty) {
        // Another call's flush sent our record: count it, never send it again.
        s.write_pending = false;
        return static_cast<int>(s.pending_len);
    }
    if (!s.write_pending && s.out_dirty) {
        // A new write over queued bytes would return its length and send
        // nothing of its own; the queued bytes (an alert) go first.
        return flush_queued(s);
    }
    size_t len = s.pending_len;
    if (!s.write_pending) {
        int max = mbedtls_ssl_get_max_out_record_payload(&s.ssl);
        if (max <= 0) return max < 0 ? max : MBEDTLS_ERR_SSL_INTERNAL_ERROR;
        // Exactly what the library will take, so that a record resolved by
        // another flush is counted at its true length.
        len = std::min(n, static_cast<size_t>(max));
    }
    int rc = mbedtls_ssl_write(&s.ssl, reinterpret_cast<const unsigned char*>(p), len);
    s.write_pending = rc == MBEDTLS_ERR_SSL_WANT_WRITE;
    s.pending_len = s.write_pending ? len : 0;
    return rc;
}

// Sends a close-notify, waiting at most timeout_ms (< 0: no limit) for the
// socket. Whatever is queued goes first: a close-notify asked for over queued
// bytes would be dropped by the library. Asked again after WANT_WRITE, the
// library only sends the alert it queued the first time.
bool send_close_notify(TlsSession& s, int timeout_ms) {
    const long long deadline = plat::deadline_after(timeout_ms);
    bool alert_asked = false;
    for (;;) {
        int rc;
        {
            Hold hold(s.lock);
            if (s.dead || s.notify_sent) return s.notify_sent;
            if (alert_asked || !s.out_dirty) {
                alert_asked = true;
                rc = mbedtls_ssl_close_notify(&s.ssl);
                s.notify_sent = rc == 0;
            } else {
                rc = flush_queued(s);
                if (rc == 0) continue;  // the queue is empty: the alert next
            }
        }
        if (rc != MBEDTLS_ERR_SSL_WANT_WRITE) return rc == 0;  // sent, or it cannot be
        int left = plat::time_left(deadline);
        if (left == 0) return false;
        if (plat::wait_send_room(s.sock, s.out_slot, left, s.woken) != plat::Wait::kReady) {
            return false;
        }
    }
}

enum class Want { kInput, kRoom, kInputOrRoom };

// Waits for the client to send, or to take the bytes queued for it, within
// `limit` (null: none). Once the limit is up it gives kTimeout even when the
// socket is ready, so a client that keeps sending a little cannot stretch
// it; a limit that moved on while the wait slept is waited for again.
plat::Wait wait_client(TlsSession& s, Want want, const plat::WaitLimit* limit) {
    for (;;) {
        int left = limit ? limit->left_ms() : -1;
        if (left == 0) return plat::Wait::kTimeout;
        plat::Wait w;
        switch (want) {
        case Want::kRoom: w = plat::wait_send_room(s.sock, s.out_slot, left, s.woken); break;
        case Want::kInputOrRoom:
            w = plat::wait_readable_or_send_room(s.sock, s.out_slot, left, s.woken);
            break;
        default: w = plat::wait_readable(s.sock, left, s.woken); break;
        }
        if (w != plat::Wait::kTimeout) return w;
    }
}

}  // namespace

int tls_session_open(ClientConn& conn, const plat::WaitLimit* limit) {
    TlsSession& s = conn.session;
    s.sock = conn.sock;
    s.woken = conn.woken;
    mbedtls_ssl_init(&s.ssl);
    s.initialised = true;
    if (!plat::send_slot_open(s.out_slot)) return MBEDTLS_ERR_SSL_ALLOC_FAILED;
    int rc = mbedtls_ssl_setup(&s.ssl, &g.ssl_conf);
    if (rc != 0) return rc;
    mbedtls_ssl_set_bio(&s.ssl, &s, tls_bio_send, tls_bio_recv, nullptr);
    for (;;) {
        {
            Hold hold(s.lock);
            s.limit = limit;
            rc = mbedtls_ssl_handshake(&s.ssl);
            s.limit = nullptr;
            if (rc == 0) s.handshake_done = true;
        }
        if (!would_block(rc)) return rc;
        plat::Wait w =
            wait_client(s, rc == MBEDTLS_ERR_SSL_WANT_WRITE ? Want::kRoom : Want::kInput, limit);
        if (w == plat::Wait::kWoken) return MBEDTLS_ERR_SSL_CONN_EOF;
        if (w == plat::Wait::kTimeout) return MBEDTLS_ERR_SSL_TIMEOUT;
    }
}

void tls_session_close(ClientConn& conn, bool orderly) {
    TlsSession& s = conn.session;
    if (!s.initialised) return;
    // The library sends nothing for a session whose handshake did not
    // complete; a dead one has nothing worth sending.
    if (orderly && s.handshake_done) send_close_notify(s, kCloseWaitMs);
    // A send still in flight reads the library's output buffer until then.
    plat::send_slot_close(s.sock, s.out_slot);
    mbedtls_ssl_free(&s.ssl);
    s.initialised = false;
    s.handshake_done = false;
}

long tls_session_read(TlsSession& s, char* buf, size_t cap, const plat::WaitLimit* limit) {
    auto* out = reinterpret_cast<unsigned char*>(buf);
    for (;;) {
        int rc;
        bool held_input;
        bool own_bytes_queued;
        {
            Hold hold(s.lock);
            if (s.dead) return 0;
            // A read may answer with an alert (refusing a renegotiation). Sent
            // over queued bytes it would be dropped, so send those first when
            // the socket takes them. If it does not, read anyway: waiting here
            // would stall this direction behind a client that does not read.
            rc = flush_queued(s);
            if (rc == 0 || rc == MBEDTLS_ERR_SSL_WANT_WRITE) {
                s.limit = limit;
                rc = mbedtls_ssl_read(&s.ssl, out, cap);
                s.limit = nullptr;
            }
            if (rc < 0 && !would_block(rc) && rc != MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
                mark_dead(s);
            }
            held_input = mbedtls_ssl_check_pending(&s.ssl) != 0;
            own_bytes_queued = s.out_dirty && !s.write_pending;
        }
        if (rc > 0) return rc;
        if (!would_block(rc)) return 0;  // end of stream, close-notify or failure
        // Input the library already holds would never wake a wait on the socket.
        if (held_input) continue;
        // An alert of this reader's is queued: it must go out even while the
        // client sends nothing, so wake for the socket taking it too.
        Want want = own_bytes_queued ? Want::kInputOrRoom : Want::kInput;
        if (wait_client(s, want, limit) != plat::Wait::kReady) return 0;
    }
}

bool tls_session_write_all(TlsSession& s, const char* buf, size_t len,
                           const plat::WaitLimit* limit) {
    size_t done = 0;
    while (done < len) {
        int rc;
        {
            Hold hold(s.lock);
            if (s.dead) return false;
            rc = write_step(s, buf + done, len - done);
            if (rc < 0 && rc != MBEDTLS_ERR_SSL_WANT_WRITE) mark_dead(s);
        }
        if (rc > 0) {
            done += static_cast<size_t>(rc);
        } else if (rc == MBEDTLS_ERR_SSL_WANT_WRITE) {
            plat::Wait w = wait_client(s, Want::kRoom, limit);
            if (w == plat::Wait::kWoken || w == plat::Wait::kTimeout) return false;
        } else if (rc < 0) {
            return false;
        }
    }
    return true;
}

bool tls_session_end_output(TlsSession& s) { return send_close_notify(s, -1); }

size_t tls_session_record_payload(TlsSession& s, size_t limit) {
    Hold hold(s.lock);
    int max = mbedtls_ssl_get_max_out_record_payload(&s.ssl);
    return max > 0 && static_cast<size_t>(max) < limit ? static_cast<size_t>(max) : limit;
}
