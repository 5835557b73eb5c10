#include "net/accept_loop.h"
#include "listener.h"
#include "state.h"
void accept_loop(void* arg) {
    ListenerArgs args = *static_cast<ListenerArgs*>(arg);
    delete static_cast<ListenerArgs*>(arg);
    while (listener_should_run(args.generation)) {
        plat::Socket s = plat::socket_accept(args.sock, nullptr, 0);
        if (s == plat::kNoSocket) {
            if (!listener_should_run(args.generation)) break;
            plat::sleep_ms(50);
            continue;
        }
        plat::socket_close(s);
    }
    plat::socket_close(args.sock);
}
