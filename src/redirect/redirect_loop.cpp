#include "redirect/redirect_loop.h"

#include "listener.h"
#include "net/fixed_reply.h"
#include "platform/deadline.h"
#include "redirect/redirect_request.h"
#include "redirect/redirect_response.h"
#include "state.h"

namespace {

constexpr int kAcceptRetryPauseMs = 50;

// The thread's working buffers, reused for every client.
struct RedirectBuffers {
    char request[kRedirectRequestCapacity];
    RedirectTexts texts;
    char response[kRedirectResponseCapacity];
};

// One client and its single deadline: every wait for it takes only the time
// that is left, so a client that trickles bytes cannot hold the listener for
// longer than a silent one. A stop ends every wait.
struct RedirectClient {
    plat::Socket sock;
    plat::Socket listener;
    long long deadline_ms;
    bool stopped = false;

    // Waits for input; false when the time is up or the service stops.
    bool wait_input(long long until_ms) {
        int left = plat::time_left(until_ms);
        if (left == 0) return false;
        plat::Wait w = plat::wait_readable_while_listening(sock, listener, left, &g.stop_requested);
        stopped = stopped || w == plat::Wait::kWoken;
        return w == plat::Wait::kReady;
    }
};

long receive_before_deadline(void* source, char* buf, size_t len) {
    auto& c = *static_cast<RedirectClient*>(source);
    for (;;) {
        if (!c.wait_input(c.deadline_ms)) return -1;
        long n = plat::socket_recv_nowait(c.sock, buf, len);
        if (n != plat::kWouldBlock) return n;
    }
}

// After the 301 the client may still be sending (a body it was not asked
// to hold back). Closing over unread input would reset the connection and
// could destroy the 301, so the input is read and dropped until the client
// closes, for at most kLingerMs and never past its deadline.
void discard_input(RedirectClient& c, char* buf, size_t len) {
    long long until = plat::deadline_after(kLingerMs);
    if (until > c.deadline_ms) until = c.deadline_ms;
    while (c.wait_input(until)) {
        long n = plat::socket_recv_nowait(c.sock, buf, len);
        if (n != plat::kWouldBlock && n <= 0) return;
    }
}

// Reads the client's head within its deadline and sends the 301 in one send
// whose result does not matter (the client gets no second chance). A stop
// ends the client at once, without a 301.
void serve_client(plat::Socket sock, plat::Socket listener, RedirectBuffers& b) {
    RedirectClient client{sock, listener, plat::deadline_after(kRedirectReadTimeoutMs)};
    size_t received = redirect_read_head(receive_before_deadline, &client, b.request);
    if (!client.stopped) {
        redirect_parse(b.request, received, b.texts);
        size_t len = redirect_format(b.texts, g.listen_port, b.response);
        plat::socket_send(sock, b.response, len);
        plat::socket_shutdown_write(sock);
        discard_input(client, b.request, sizeof b.request);
    }
    plat::socket_close(sock);
}

}  // namespace

void redirect_loop(void* arg) {
    ListenerArgs args = *static_cast<ListenerArgs*>(arg);
    delete static_cast<ListenerArgs*>(arg);
    RedirectBuffers buffers;
    while (listener_should_run(args.generation)) {
        plat::Socket client = plat::socket_accept(args.sock, nullptr, 0, &g.stop_requested);
        if (client == plat::kNoSocket) {
            // A failed accept is normally the stop's shutdown; otherwise the
            // pause keeps a persistent failure from spinning.
            if (!listener_should_run(args.generation)) break;
            plat::sleep_ms(kAcceptRetryPauseMs);
            continue;
        }
        serve_client(client, args.sock, buffers);
    }
}
