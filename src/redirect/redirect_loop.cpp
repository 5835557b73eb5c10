#include "redirect/redirect_loop.h"
#include "listener.h"
#include "state.h"
void redirect_loop(void* arg) {
    ListenerArgs args = *static_cast<ListenerArgs*>(arg);
    delete static_cast<ListenerArgs*>(arg);
    plat::socket_close(args.sock);
}
