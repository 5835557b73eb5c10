#include "net/request_loop.h"

#include <cstring>
#include <span>

#include "net/connection_registry.h"
#include "net/fixed_reply.h"
#include "net/route_select.h"
#include "platform/thread.h"
#include "state.h"

namespace {

constexpr char kNoRouteResponse[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 19\r\n"
    "Connection: close\r\n\r\nno matching route\r\n";
static_assert(sizeof kNoRouteResponse - 1 == 112);

enum class Next { kGoOn, kEnd };

bool relaying(const RequestLoop& q) { return q.backend.route >= 0; }

std::span<Route> route_table() {
    int n = g.route_count;
    if (n < 0) n = 0;
    if (n > kMaxRoutes) n = kMaxRoutes;
    return {g.routes, static_cast<size_t>(n)};
}

// Sleeps on the exchange word until `ready(word)` or the relay thread ended;
// returns the word. Only while a relay thread runs: it is what changes it.
template <class Ready>
int wait_for_relay(Exchange& x, Ready ready) {
    int w = x.word.load();
    while (!ready(w) && !(w & kXRelayEnded)) {
        if (!(w & kXWaiting)) {
            w = x.word.fetch_or(kXWaiting) | kXWaiting;
            continue;
        }
        plat::wait_on_word(x.word, w, -1);
        w = x.word.load();
    }
    if (w & kXWaiting) w = x.word.fetch_and(~kXWaiting) & ~kXWaiting;
    return w;
}

int wait_all_delivered(RequestLoop& q) {
    return wait_for_relay(q.x, [&](int w) { return q.x.outstanding(w) == 0; });
}

// The connection ends here. After an orderly end that the relay thread
// decided (the backend closed, an early answer), the client has a moment to
// finish sending; a cut or a closed client ends at once. Closing the backend
// first joins the relay thread, so its decision is final.
Next end_connection(RequestLoop& q) {
    const bool relay_ended = relaying(q) && (q.x.word.load() & kXRelayEnded);
    backend_close(q.backend, q.conn, q.args);
    if (relay_ended && q.args.client_end.load() == kEndAnswered) {
        discard_client_input(q.conn, q.in);
    }
    return Next::kEnd;
}

// Waits until every earlier response has reached the client, then closes
// the backend connection. False when the backend's side ended the connection
// meanwhile: it has ended here too.
bool close_backend_when_answered(RequestLoop& q) {
    if (relaying(q) && (wait_all_delivered(q) & kXRelayEnded)) {
        end_connection(q);
        return false;
    }
    backend_close(q.backend, q.conn, q.args);
    return true;
}

// Ends the connection once every earlier response has reached the client,
// without a response of its own (a malformed head, the client's last
// request).
Next end_after_responses(RequestLoop& q) {
    if (close_backend_when_answered(q) && decide_client_end(q.args, kEndAnswered)) {
        linger_close(q.conn, q.in);
    }
    return Next::kEnd;
}

Next answer_no_route(RequestLoop& q) {
    if (close_backend_when_answered(q)) {
        send_fixed_reply(q.conn, {kNoRouteResponse, sizeof kNoRouteResponse - 1}, q.in);
    }
    return Next::kEnd;
}

// A request for another route than the open backend connection's waits for
// the earlier responses; then that connection closes and the new route's
// backend is connected as for a first request.
Next use_route(RequestLoop& q, int route) {
    if (q.backend.route == route) return Next::kGoOn;
    if (!close_backend_when_answered(q) || q.args.client_end.load() != kEndOpen) {
        return Next::kEnd;
    }
    return backend_open(q.backend, q.conn, q.args, q.x, route, q.in) == BackendOpen::kOpen
               ? Next::kGoOn
               : Next::kEnd;
}

// Moves the bytes not yet taken to the start of the head buffer.
void compact(RequestLoop& q) {
    size_t rest = q.filled - q.parsed;
    if (rest > 0 && q.parsed > 0) memmove(q.in, q.in + q.parsed, rest);
    q.filled = rest;
    q.parsed = 0;
    q.in[q.filled] = '\0';
}

enum class HeadRead { kComplete, kMalformed, kGone };

// Reads until the buffer holds a complete head. Its time runs from the
// accept for the first head and from the last response's end for the others,
// and not while a response is under way. With nothing under way the
// connection is one that stop ends at once.
HeadRead read_head(RequestLoop& q, const HeadClock& clock) {
    int w = q.x.word.fetch_or(kXReadingHead);
    HeadRead result = HeadRead::kGone;
    if (q.x.outstanding(w) == 0 && !arm_head_wait(q.args)) {
        q.x.word.fetch_and(~kXReadingHead);
        return result;
    }
    for (;;) {
        if (q.parsed < q.filled) {
            size_t used = 0;
            H1Event ev = h1_read(q.reader, q.in + q.parsed, q.filled - q.parsed, used);
            q.parsed += used;
            if (ev == H1Event::kHead) result = HeadRead::kComplete;
            if (ev == H1Event::kError) result = HeadRead::kMalformed;
            if (ev != H1Event::kMore) break;
        }
        if (q.filled == kHeadMaxBytes) {
            result = HeadRead::kMalformed;  // 16383 bytes and no end of the head
            break;
        }
        long n = client_read(q.conn, q.in + q.filled, kHeadMaxBytes - q.filled, &clock);
        if (n <= 0 || (q.x.word.load() & kXRelayEnded)) break;
        q.filled += static_cast<size_t>(n);
        q.in[q.filled] = '\0';
    }
    q.x.word.fetch_and(~kXReadingHead);
    if (result == HeadRead::kComplete && !claim_head(q.args)) result = HeadRead::kGone;
    return result;
}

// Nothing moved either way for idle_timeout_ms while something was under
// way: the answer is cut, as when a backend fails mid-answer.
Next idle_cut(RequestLoop& q) {
    decide_client_end(q.args, kEndCut);
    backend_close(q.backend, q.conn, q.args);
    return Next::kEnd;
}

// A failed send to the backend: expected after a response that came before
// the whole body (the relay thread shut the way to the backend, and the
// client gets its moment to finish sending). Otherwise the backend failed
// while the client was sending: the answer is cut, at once.
Next backend_send_failed(RequestLoop& q) {
    if (q.x.word.load() & kXEarlyAnswer) return end_connection(q);
    decide_client_end(q.args, kEndCut);
    backend_close(q.backend, q.conn, q.args);
    return Next::kEnd;
}

// Counts the body through the reader, sending each piece to the backend as
// it is read, never more than the body. A final response that comes first
// ends the connection (the relay thread saw it); a body whose chunked
// framing breaks is cut where it breaks.
Next forward_body(RequestLoop& q) {
    Exchange& x = q.x;
    const IdleClock idle(x);
    const unsigned k = x.forwarded.load() - 1;
    for (;;) {
        // Even with no byte left: a message without a body ends right here.
        const size_t from = q.parsed;
        size_t used = 0;
        H1Event ev = h1_read(q.reader, q.in + from, q.filled - from, used);
        q.parsed += used;
        // Counted as sent before the last bytes go, so that an answer to
        // them is never taken for one that came early.
        if (ev == H1Event::kMessage) x.bodies_sent.store(k + 1);
        if (used > 0 && !backend_send(q.backend, x, q.in + from, used)) {
            return backend_send_failed(q);
        }
        if (ev == H1Event::kMessage) return Next::kGoOn;
        if (ev == H1Event::kError) {
            decide_client_end(q.args, kEndCut);
            return end_connection(q);
        }
        q.filled = q.parsed = 0;
        if (g.stop_requested.is_set()) {
            decide_client_end(q.args, kEndCut);
            return end_connection(q);
        }
        long n = client_read(q.conn, q.in, kHeadMaxBytes, idle.limit());
        if (n <= 0 && idle.expired()) return idle_cut(q);
        if (n <= 0 || (x.word.load() & (kXEarlyAnswer | kXRelayEnded))) return end_connection(q);
        q.filled = static_cast<size_t>(n);
        q.in[q.filled] = '\0';
    }
}

// After a 101: a byte pipe, client to backend, from the first byte after
// the upgrade request, until either side ends. A backend that takes no more
// cuts the connection, unless its side had already ended.
Next pipe_client_to_backend(RequestLoop& q) {
    const IdleClock idle(q.x);
    const char* p = q.in + q.parsed;
    size_t n = q.filled - q.parsed;
    for (;;) {
        if (n > 0 && !backend_send(q.backend, q.x, p, n)) {
            if (!(q.x.word.load() & kXRelayEnded)) decide_client_end(q.args, kEndCut);
            break;
        }
        if (q.x.word.load() & kXRelayEnded) break;
        if (g.stop_requested.is_set()) {
            decide_client_end(q.args, kEndCut);
            break;
        }
        long got = client_read(q.conn, q.in, kRelayChunk, idle.limit());
        if (got <= 0 && idle.expired()) return idle_cut(q);
        if (got <= 0) break;
        p = q.in;
        n = static_cast<size_t>(got);
    }
    backend_close(q.backend, q.conn, q.args);
    return Next::kEnd;
}

// Sends the rewritten head and the body of the head just read.
Next forward_request(RequestLoop& q) {
    Exchange& x = q.x;
    const uint32_t f = q.req.flags;
    // h2c would open an HTTP/2 stream we do not read: the backend answers in
    // HTTP/1.1 without its Upgrade line.
    const bool upgrade = (f & kH1Upgrade) && !(f & kH1UpgradeH2c);
    if (x.word.load() & kXRelayEnded) return end_connection(q);  // the backend left meanwhile
    if (x.outstanding() >= kMaxOutstanding) {
        int w = wait_for_relay(x, [&](int v) { return x.outstanding(v) < kMaxOutstanding; });
        if (w & kXRelayEnded) return end_connection(q);
    }
    const unsigned k = x.forwarded.load();
    x.expects[k % kMaxOutstanding] = static_cast<uint8_t>(
        ((f & kH1MethodHead) ? kH1ExpectNoBody : 0) | (upgrade ? kH1ExpectUpgrade : 0));
    if (f & kH1NoBody) x.bodies_sent.store(k + 1);
    x.moved();  // the idle limit counts from here
    x.forwarded.store(k + 1);

    std::string_view head(q.in + q.req.start, q.req.head_len - q.req.start);
    size_t len = rewrite_head(head, (f & kH1UpgradeH2c) != 0, q.args.client_ip,
                              q.conn.tls ? "https" : "http", q.req.host_value, q.out);
    if (len == 0 || !backend_send(q.backend, x, q.out, len)) {
        return end_connection(q);  // the end without a response
    }
    if (forward_body(q) == Next::kEnd) return Next::kEnd;
    compact(q);
    if (upgrade) {
        // Nothing more is read from the client until the answer says whether
        // the connection is still HTTP.
        int w = wait_for_relay(x, [&](int v) { return x.outstanding(v) == 0; });
        if (w & kXUpgraded) return pipe_client_to_backend(q);
        if (w & kXRelayEnded) return end_connection(q);
    }
    // RFC 9112 9.6: nothing is read after the client's last request.
    const bool last = (f & kH1ConnClose) || ((f & kH1Http10) && !(f & kH1ConnKeepAlive));
    return last ? end_after_responses(q) : Next::kGoOn;
}

Next serve_request(RequestLoop& q) {
    size_t start = leading_empty_lines({q.in, q.parsed});
    if (!examine_request_head(q.in, start, q.parsed, q.reader.flags, q.req)) {
        return end_after_responses(q);
    }
    // CONNECT names no path: its target matches no route.
    int route = (q.req.flags & kH1MethodConnect)
                    ? -1
                    : select_route(route_table(), q.req.host_name, q.req.target);
    if (route < 0) return answer_no_route(q);
    if (use_route(q, route) == Next::kEnd) return Next::kEnd;
    return forward_request(q);
}

}  // namespace

void serve_requests(RequestLoop& q) {
    q.x.head_since.store(q.args.accepted_at);
    q.x.idle_timeout_ms = g.idle_timeout_ms;
    if (q.x.idle_timeout_ms > 0) {
        q.conn.moved_at = &q.x.moved_at;
        q.conn.session.moved_at = &q.x.moved_at;
    }
    const HeadClock clock(q.x, g.head_timeout_ms);
    for (;;) {
        switch (read_head(q, clock)) {
        case HeadRead::kGone: end_connection(q); return;
        case HeadRead::kMalformed: end_after_responses(q); return;
        case HeadRead::kComplete: break;
        }
        if (serve_request(q) == Next::kEnd) return;
    }
}
