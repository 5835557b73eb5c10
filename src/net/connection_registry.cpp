#include "net/connection_registry.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "state.h"

namespace {

// Buckets for counting a client's connections: with a per-client cap, an
// accept looks only at the connections whose address shares its bucket.
constexpr int kClientBuckets = 1024;

// The registry belongs with the one service instance, like g: an intrusive
// list of the live ConnArgs records, so it allocates nothing.
struct Registry {
    std::mutex lock;
    std::condition_variable emptied;
    ConnArgs* head = nullptr;
    int count = 0;
    ConnArgs* by_client[kClientBuckets] = {};
};

Registry g_connections;

bool start_is_current(unsigned generation) {
    return !g.stop_requested.is_set() && g.generation.load() == generation;
}

// FNV-1a over the address text.
int bucket_of(const char* ip) {
    unsigned h = 2166136261u;
    for (; *ip; ++ip) h = (h ^ static_cast<unsigned char>(*ip)) * 16777619u;
    return static_cast<int>(h % kClientBuckets);
}

// Under the lock. True when the client of c may have one connection more.
bool client_has_room(const ConnArgs& c, int bucket) {
    int same = 0;
    for (const ConnArgs* p = g_connections.by_client[bucket]; p; p = p->peer_next) {
        if (strcmp(p->client_ip, c.client_ip) == 0 && ++same >= g.max_connections_per_client) {
            return false;
        }
    }
    return true;
}

void link_client(ConnArgs& c, int bucket) {
    c.client_bucket = bucket;
    c.peer_prev = nullptr;
    c.peer_next = g_connections.by_client[bucket];
    if (c.peer_next) c.peer_next->peer_prev = &c;
    g_connections.by_client[bucket] = &c;
}

void unlink_client(ConnArgs& c) {
    if (c.client_bucket < 0) return;
    if (c.peer_prev) c.peer_prev->peer_next = c.peer_next;
    else g_connections.by_client[c.client_bucket] = c.peer_next;
    if (c.peer_next) c.peer_next->peer_prev = c.peer_prev;
    c.peer_prev = c.peer_next = nullptr;
    c.client_bucket = -1;
}

}  // namespace

bool registry_add(ConnArgs& c) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    if (!start_is_current(c.generation)) return false;
    if (g.max_connections > 0 && g_connections.count >= g.max_connections) return false;
    if (g.max_connections_per_client > 0) {
        int bucket = bucket_of(c.client_ip);
        if (!client_has_room(c, bucket)) return false;
        link_client(c, bucket);
    }
    c.prev = nullptr;
    c.next = g_connections.head;
    if (g_connections.head) g_connections.head->prev = &c;
    g_connections.head = &c;
    ++g_connections.count;
    return true;
}

void registry_remove(ConnArgs& c) {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    if (c.prev) c.prev->next = c.next;
    else g_connections.head = c.next;
    if (c.next) c.next->prev = c.prev;
    c.prev = c.next = nullptr;
    unlink_client(c);
    --g_connections.count;
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

// Stop sets its flag before it looks at the connections, so a connection
// armed after that look sees the flag here and ends itself.
bool arm_head_wait(ConnArgs& c) {
    int busy = kHeadBusy;
    c.head_wait.compare_exchange_strong(busy, kHeadWaiting);
    return !(g.stop_requested.is_set() && take_waiting(c));
}

// A connection that waits for a head has nothing under way to finish: its
// client is woken at once, and closed as any incomplete head is.
void connections_end_waiting() {
    std::lock_guard<std::mutex> hold(g_connections.lock);
    for (ConnArgs* c = g_connections.head; c; c = c->next) {
        if (take_waiting(*c)) plat::socket_wake(c->sock, c->woken);
    }
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
