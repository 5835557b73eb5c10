#include "net/connection_registry.h"

#include <condition_variable>
#include <mutex>

#include "state.h"

namespace {

// The registry belongs with the one service instance, like g: an intrusive
// list of the live ConnArgs records, so it allocates nothing.
struct Registry {
    std::mutex lock;
    std::condition_variable emptied;
    ConnArgs* head = nullptr;
};

Registry g_connections;

bool start_is_current(unsigned generation) {
    return !g.stop_requested.is_set() && g.generation.load() == generation;
}

}  // namespace

bool registry_add(ConnArgs& c) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    if (!start_is_current(c.generation)) return false;
    c.prev = nullptr;
    c.next = g_connections.head;
    if (g_connections.head) g_connections.head->prev = &c;
    g_connections.head = &c;
    return true;
}

void registry_remove(ConnArgs& c) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    if (c.prev) c.prev->next = c.next;
    else g_connections.head = c.next;
    if (c.next) c.next->prev = c.prev;
    c.prev = c.next = nullptr;
    if (!g_connections.head) g_connections.emptied.notify_all();
}

bool registry_set_backend(ConnArgs& c, plat::Socket s) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    if (!start_is_current(c.generation)) return false;
    c.backend_sock = s;
    return true;
}

void registry_close_backend(ConnArgs& c) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    plat::socket_close(c.backend_sock);
    c.backend_sock = plat::kNoSocket;
}

void registry_close_client(ConnArgs& c) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    if (c.client_end.load() == kEndCut) {
        plat::socket_close_abortive(c.sock);
    } else {
        plat::socket_close(c.sock);
    }
    c.sock = plat::kNoSocket;
}

// The cut is decided before any socket is touched, so that the relay thread
// takes the backend's end that follows for what it is. The client is woken,
// not shut down: a shutdown would send it an end of stream, which would make
// the cut answer look complete.
void connections_end_all() {
    std::unique_lock<std::mutex> hold(g_connections.lock);
    for (ConnArgs* c = g_connections.head; c; c = c->next) {
        decide_client_end(*c, kEndCut);
        plat::socket_wake(c->sock, c->woken);
        plat::socket_shutdown(c->backend_sock);
    }
    g_connections.emptied.wait(hold, [] { return g_connections.head == nullptr; });
}
