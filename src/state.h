// The service's one state record and the last-error text.
#pragma once

#include <atomic>
#include <cstdarg>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/wake.h"
#include "platform/worker_pool.h"

constexpr int kMaxRoutes = 16;
constexpr int kErrorCapacity = 512;
constexpr int kPathCapacity = 512;

struct Route {
    char host[256];
    char path_prefix[256];
    char target_ip[64];
    int target_port;
    std::atomic<int> hits;
    std::atomic<int> errors;
};

struct ProxyState {
    std::atomic<int> running;
    plat::Wake stop_requested;  // ends the listeners' waits
    int tls_enabled;
    int listen_port;
    int redirect_port;
    Route routes[kMaxRoutes];
    int route_count;
    // Main port only: how long a client has, from its accept, for its TLS
    // handshake and whole request head (0: no limit); and the most clients
    // at once in all and from one address (0: no cap).
    int head_timeout_ms;
    int max_connections;
    int max_connections_per_client;
    // With a request or answer under way, or in the pipe after a 101: how
    // long no byte may move either way before the connection is cut (0: no
    // limit).
    int idle_timeout_ms;
    plat::Socket listen_sock;
    plat::Socket redirect_sock;
    plat::Thread accept_thread;
    plat::Thread redirect_thread;
    int accept_thread_started;
    int redirect_thread_started;
    std::atomic<int> active_connections;
    std::atomic<int> total_connections;
    mbedtls_ssl_config ssl_conf;
    mbedtls_x509_crt srv_cert;
    mbedtls_pk_context srv_key;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context ctr_drbg;
    int tls_ready;

    // Counts starts. It is never cleared, so a listener thread that outlived
    // its stop can tell that the service it belonged to has gone.
    std::atomic<unsigned> generation;

    // Threads for connections and for their relays, reused from one
    // connection to the next. Stop lets them all go.
    plat::WorkerPool connection_workers{plat::kConnectionStack};
    plat::WorkerPool relay_workers{plat::kRelayStack};
};

extern ProxyState g;
extern char g_err[kErrorCapacity];

// printf-style into g_err, cut to 511 characters and always terminated.
void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Zeroes every field of a route, its counters included.
void clear_route(Route& r);

// Zeroes every field of the record but the generation counter.
void clear_state(ProxyState& st);

// Copies at most cap - 1 bytes of the len bytes at src into dst and terminates it.
void copy_text(char* dst, size_t cap, const char* src, size_t len);
