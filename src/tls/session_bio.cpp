#include "tls/session_bio.h"

#include <climits>

#include <mbedtls/net_sockets.h>  // only for its error codes
#include <mbedtls/ssl.h>

#include "platform/deadline.h"
#include "platform/socket.h"
#include "tls/tls_session.h"

namespace {

// The library never asks for more than one record; the clamp only keeps the
// int result honest.
size_t clamp_to_int(size_t len) { return len > INT_MAX ? INT_MAX : len; }

int failure_code(int generic) {
    return plat::last_error_was_reset() ? MBEDTLS_ERR_NET_CONN_RESET : generic;
}

// TLS content types (RFC 8446 5.1).
constexpr uint8_t kChangeCipherSpec = 20;
constexpr uint8_t kAlert = 21;
constexpr size_t kRecordHeader = 5;

}  // namespace

bool record_run_take(RecordRun& run, const unsigned char* p, size_t n) {
    while (n > 0) {
        if (run.body_left > 0) {
            size_t skip = n < run.body_left ? n : run.body_left;
            run.body_left -= static_cast<uint32_t>(skip);
            p += skip;
            n -= skip;
            continue;
        }
        switch (run.have++) {
        case 0: run.type = *p; break;
        case 3: run.length = static_cast<uint16_t>(*p << 8); break;
        case 4: run.length = static_cast<uint16_t>(run.length | *p); break;
        default: break;
        }
        ++p;
        --n;
        if (run.have < kRecordHeader) continue;
        run.have = 0;
        run.body_left = run.length;
        const bool empty = run.type == kAlert || run.type == kChangeCipherSpec;
        run.empty = empty ? static_cast<uint8_t>(run.empty + 1) : 0;
        if (run.empty > kEmptyRecordRunMax) return false;
    }
    return true;
}

int tls_bio_send(void* ctx, const unsigned char* buf, size_t len) {
    auto* s = static_cast<TlsSession*>(ctx);
    len = clamp_to_int(len);
    long n = plat::socket_send_handover(s->sock, s->out_slot, buf, len);
    s->out_dirty = !(n >= 0 && static_cast<size_t>(n) == len);
    if (n > 0 && s->moved_at) s->moved_at->store(plat::monotonic_ms());
    if (n > 0 || (n == 0 && len == 0)) return static_cast<int>(n);
    if (n == plat::kWouldBlock) return MBEDTLS_ERR_SSL_WANT_WRITE;
    if (n == 0) return MBEDTLS_ERR_NET_SEND_FAILED;  // no progress is no success
    return failure_code(MBEDTLS_ERR_NET_SEND_FAILED);
}

// The time limit is checked here too, not only where the session waits: the
// library handles alerts and ChangeCipherSpec records in a loop of its own,
// and a peer that keeps sending them would never let it return to a wait.
int tls_bio_recv(void* ctx, unsigned char* buf, size_t len) {
    auto* s = static_cast<TlsSession*>(ctx);
    if (s->limit && (s->limit->left_ms() == 0 || (s->woken && s->woken->is_set()))) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    long n = plat::socket_recv_nowait(s->sock, buf, clamp_to_int(len));
    if (n > 0 && !record_run_take(s->records, buf, static_cast<size_t>(n))) {
        return MBEDTLS_ERR_SSL_UNEXPECTED_MESSAGE;
    }
    if (n > 0 && s->moved_at) s->moved_at->store(plat::monotonic_ms());
    if (n >= 0) return static_cast<int>(n);
    if (n == plat::kWouldBlock) return MBEDTLS_ERR_SSL_WANT_READ;
    return failure_code(MBEDTLS_ERR_NET_RECV_FAILED);
}
