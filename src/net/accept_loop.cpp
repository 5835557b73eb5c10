#include "net/accept_loop.h"

#include <cstring>
#include <new>

#include "listener.h"
#include "net/conn_args.h"
#include "net/connection.h"
#include "net/connection_registry.h"
#include "platform/deadline.h"
#include "state.h"

namespace {

constexpr int kAcceptRetryMs = 50;

// Starts the connection thread for an accepted client. Any failure, and a
// connection over a cap, closes the client at once and counts nothing: the
// client sees a close without data.
void hand_over(plat::Socket sock, const char* client_ip, unsigned generation) {
    const long long accepted_at = plat::monotonic_ms();
    auto* args = new (std::nothrow) ConnArgs;
    if (!args || !args->woken.usable()) {
        delete args;
        plat::socket_close(sock);
        return;
    }
    args->sock = sock;
    copy_text(args->client_ip, sizeof args->client_ip, client_ip, strlen(client_ip));
    args->tls = g.tls_enabled;
    args->generation = generation;
    args->accepted_at = accepted_at;
    if (!registry_add(*args)) {
        plat::socket_close(sock);
        delete args;
        return;
    }
    if (!g.connection_workers.run(connection_handler, args)) {
        registry_close_client(*args);
        registry_remove(*args);
        delete args;
    }
}

}  // namespace

void accept_loop(void* arg) {
    ListenerArgs listener = *static_cast<ListenerArgs*>(arg);
    delete static_cast<ListenerArgs*>(arg);
    while (listener_should_run(listener.generation)) {
        char client_ip[64];
        plat::Socket s = plat::socket_accept(listener.sock, client_ip, sizeof client_ip,
                                            &g.stop_requested);
        if (s == plat::kNoSocket) {
            if (!listener_should_run(listener.generation)) break;
            plat::sleep_ms(kAcceptRetryMs);
            continue;
        }
        plat::socket_set_nodelay(s);
        hand_over(s, client_ip, listener.generation);
    }
}
