#include "redirect/redirect_loop.h"

#include "listener.h"
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

long receive_from_socket(void* source, char* buf, size_t len) {
    return plat::socket_recv(*static_cast<plat::Socket*>(source), buf, len);
}

// Reads the client's head, sends the 301 in one send whose result does not
// matter (the client gets no second chance), and closes the socket without a
// shutdown.
void serve_client(plat::Socket client, RedirectBuffers& b) {
    plat::socket_set_recv_timeout(client, kRedirectReadTimeoutMs);
    size_t received = redirect_read_head(receive_from_socket, &client, b.request);
    redirect_parse(b.request, received, b.texts);
    size_t len = redirect_format(b.texts, g.listen_port, b.response);
    plat::socket_send(client, b.response, len);
    plat::socket_close(client);
}

}  // namespace

void redirect_loop(void* arg) {
    ListenerArgs args = *static_cast<ListenerArgs*>(arg);
    delete static_cast<ListenerArgs*>(arg);
    RedirectBuffers buffers;
    while (listener_should_run(args.generation)) {
        plat::Socket client = plat::socket_accept(args.sock, nullptr, 0);
        if (client == plat::kNoSocket) {
            // A failed accept is normally the stop's shutdown; otherwise the
            // pause keeps a persistent failure from spinning.
            if (!listener_should_run(args.generation)) break;
            plat::sleep_ms(kAcceptRetryPauseMs);
            continue;
        }
        serve_client(client, buffers);
    }
    plat::socket_close(args.sock);
}
