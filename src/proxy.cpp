// The six exported functions, the state record, and the start and stop
// sequences.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "config.h"
#include "listener.h"
#include "net/accept_loop.h"
#include "net/connection_registry.h"
#include "platform/deadline.h"
#include "redirect/redirect_loop.h"
#include "state.h"
#include "status_report.h"
#include "tls/tls_session.h"
#include "velkor_proxy.h"

ProxyState g;
char g_err[kErrorCapacity];

namespace {

char g_status_buf[kStatusCapacity];

// Serialises start and stop, so that a host that overlaps them by mistake
// cannot corrupt the record. Hosts that keep the rule never wait on it.
std::mutex g_control_lock;

// Held while a start writes the configuration fields and the last-error text
// (a start never waits for anything) and while a report reads them, so that
// a host may poll the report from any thread while it starts or stops the
// service. It also keeps two reports from writing the buffer at once.
std::mutex g_report_lock;

constexpr int kListenBacklog = 32;
constexpr int kListenerJoinMs = 6000;
constexpr int kDrainWaitMs = 5000;
constexpr int kDrainPauseMs = 50;

bool start_listener(plat::Thread& thread, plat::ThreadBody body, plat::Socket sock) {
    auto* args = new (std::nothrow) ListenerArgs{sock, g.generation.load()};
    if (!args) return false;
    if (thread.start(body, args, plat::kListenerStack)) return true;
    delete args;
    return false;
}

// The shutdown wakes the listener thread's accept, and the redirect
// thread's wait for a client, at once; where it wakes neither, the stop
// Wake, set before this, has ended them.
void stop_listener(plat::Socket sock, plat::Thread& thread, int started) {
    plat::socket_shutdown(sock);
    if (started) thread.join_for(kListenerJoinMs);
}

// Joins a listener thread that is still running (everything that could hold
// it has been woken by now), then closes its socket: the socket outlives
// every use of it.
void close_listener(plat::Socket& sock, plat::Thread& thread, int& started) {
    if (started) thread.join_for(-1);
    started = 0;
    if (sock != plat::kNoSocket) plat::socket_close(sock);
    sock = plat::kNoSocket;
}

// Connections still waiting for their heads end at once; plain and TLS
// connections alike keep flowing during the drain wait; those left after it
// are cut. Every body has ended once the registry is empty, so
// the pools' drain only waits for their threads to leave. The wait is
// bounded by the clock, not by a count of pauses: a pause may sleep longer
// than asked (a 15.6 ms timer tick on Windows makes 50 ms nearly 63).
void wait_for_connections() {
    connections_end_waiting();
    const long long deadline = plat::deadline_after(kDrainWaitMs);
    while (g.active_connections.load() > 0 && plat::time_left(deadline) > 0) {
        plat::sleep_ms(kDrainPauseMs);
    }
    connections_end_all();
    g.connection_workers.drain(-1);
    g.relay_workers.drain(-1);
}

int fail_start_after_listen() {
    g.running = 0;
    plat::socket_close(g.listen_sock);
    if (g.redirect_sock != plat::kNoSocket) plat::socket_close(g.redirect_sock);
    tls_credentials_free();
    return -1;
}

int start_locked(const char* config_json) {
    if (g.running) {
        set_error("already running");
        return -1;
    }
    if (!config_json) {
        set_error("config_json is NULL");
        return -1;
    }
    plat::socket_layer_init();
    if (!g.stop_requested.usable()) {
        set_error("stop event creation failed");
        return -1;
    }
    clear_state(g);
    char cert_path[kPathCapacity];
    char key_path[kPathCapacity];
    if (!parse_config(config_json, g, cert_path, key_path)) return -1;
    if (g.tls_enabled && tls_credentials_load(cert_path, key_path) != 0) return -1;

    g.listen_sock = tcp_listen(g.listen_port);
    if (g.listen_sock == plat::kNoSocket) {
        tls_credentials_free();
        return -1;
    }
    if (g.redirect_port > 0 && g.tls_enabled) {
        g.redirect_sock = tcp_listen(g.redirect_port);
        if (g.redirect_sock == plat::kNoSocket) {
            plat::socket_close(g.listen_sock);
            tls_credentials_free();
            return -1;
        }
    } else {
        g.redirect_sock = plat::kNoSocket;
        g.redirect_port = 0;
    }

    g.running = 1;
    g.stop_requested.clear();
    if (!start_listener(g.accept_thread, accept_loop, g.listen_sock)) {
        set_error("accept thread spawn failed");
        return fail_start_after_listen();
    }
    g.accept_thread_started = 1;
    // A redirect thread that cannot start is not a failure of the start: the
    // port stays bound until stop closes it.
    if (g.redirect_sock != plat::kNoSocket &&
        start_listener(g.redirect_thread, redirect_loop, g.redirect_sock)) {
        g.redirect_thread_started = 1;
    }
    return 0;
}

}  // namespace

void set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

void copy_text(char* dst, size_t cap, const char* src, size_t len) {
    if (cap == 0) return;
    if (len > cap - 1) len = cap - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

void clear_route(Route& r) {
    memset(r.host, 0, sizeof r.host);
    memset(r.path_prefix, 0, sizeof r.path_prefix);
    memset(r.target_ip, 0, sizeof r.target_ip);
    r.target_port = 0;
    r.hits = 0;
    r.errors = 0;
}

void clear_state(ProxyState& st) {
    st.running = 0;
    st.stop_requested.clear();
    st.tls_enabled = 0;
    st.listen_port = 0;
    st.redirect_port = 0;
    for (Route& r : st.routes) clear_route(r);
    st.route_count = 0;
    st.head_timeout_ms = 0;
    st.max_connections = 0;
    st.max_connections_per_client = 0;
    st.idle_timeout_ms = 0;
    st.listen_sock = plat::kNoSocket;
    st.redirect_sock = plat::kNoSocket;
    st.accept_thread_started = 0;
    st.redirect_thread_started = 0;
    st.active_connections = 0;
    st.total_connections = 0;
    memset(&st.ssl_conf, 0, sizeof st.ssl_conf);
    memset(&st.srv_cert, 0, sizeof st.srv_cert);
    memset(&st.srv_key, 0, sizeof st.srv_key);
    memset(&st.entropy, 0, sizeof st.entropy);
    memset(&st.ctr_drbg, 0, sizeof st.ctr_drbg);
    st.tls_ready = 0;
}

bool listener_should_run(unsigned generation) {
    return !g.stop_requested.is_set() && g.generation.load() == generation;
}

plat::Socket tcp_listen(int port) {
    plat::Socket s = plat::tcp_socket();
    if (s == plat::kNoSocket) {
        set_error("socket() failed");
        return plat::kNoSocket;
    }
    if (const char* why = plat::socket_unsupported_reason(s)) {
        set_error("socket provider unsupported: %s", why);
        plat::socket_close(s);
        return plat::kNoSocket;
    }
    plat::socket_set_reuseaddr(s);
    if (!plat::socket_bind_any(s, port)) {
        set_error("bind port %d failed (in use?)", port);
        plat::socket_close(s);
        return plat::kNoSocket;
    }
    if (!plat::socket_listen(s, kListenBacklog)) {
        set_error("listen port %d failed", port);
        plat::socket_close(s);
        return plat::kNoSocket;
    }
    return s;
}

extern "C" {

const char* proxy_version(void) noexcept { return "1.0.0"; }

const char* proxy_last_error(void) noexcept { return g_err; }

int proxy_status(void) noexcept { return g.running ? 1 : 0; }

int proxy_start(const char* config_json) noexcept {
    std::lock_guard<std::mutex> control(g_control_lock);
    std::lock_guard<std::mutex> report(g_report_lock);
    g_err[0] = '\0';
    return start_locked(config_json);
}

// Returns only once every thread of the run has been joined: a host may
// unload the library right after.
int proxy_stop(void) noexcept {
    std::lock_guard<std::mutex> hold(g_control_lock);
    if (!g.running) return 0;
    g.stop_requested.set();
    g.generation.fetch_add(1);  // listeners of this run never serve again
    stop_listener(g.listen_sock, g.accept_thread, g.accept_thread_started);
    if (g.redirect_sock != plat::kNoSocket) {
        stop_listener(g.redirect_sock, g.redirect_thread, g.redirect_thread_started);
    }
    wait_for_connections();
    close_listener(g.listen_sock, g.accept_thread, g.accept_thread_started);
    close_listener(g.redirect_sock, g.redirect_thread, g.redirect_thread_started);
    tls_credentials_free();
    g.running = 0;
    g.stop_requested.clear();
    return 0;
}

const char* proxy_runtime_status(void) noexcept {
    std::lock_guard<std::mutex> hold(g_report_lock);
    format_status_report(g, g_err, g_status_buf, sizeof g_status_buf);
    return g_status_buf;
}

}  // extern "C"
