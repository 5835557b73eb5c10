#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/deadline.h"

namespace plat {
namespace {

thread_local int t_last_errno = 0;

long finish_transfer(ssize_t n) {
    if (n >= 0) return static_cast<long>(n);
    t_last_errno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    return -1;
}

// Waits after a peer's end are made in slices of this length: the hang-up
// flag then stays raised, so it can no longer carry a wake-up.
constexpr int kWakeSliceMs = 50;

// A wake-up (socket_wake) is a read shutdown of the socket, which raises
// POLLRDHUP, so a wait that can be woken watches for it as well. A peer that
// ends its side raises it too, and for good: a wait for room to write then
// goes on in slices that look at the word.
Wait wait_for(Socket s, short events, int timeout_ms, const Wake* woken) {
    const long long deadline = deadline_after(timeout_ms);
    bool hangup_wakes = woken != nullptr;
    for (;;) {
        if (woken && woken->is_set()) return Wait::kWoken;
        int left = time_left(deadline);
        if (woken && !hangup_wakes && (left < 0 || left > kWakeSliceMs)) left = kWakeSliceMs;
        pollfd p{s, static_cast<short>(events | (hangup_wakes ? POLLRDHUP : 0)), 0};
        int rc = poll(&p, 1, left);
        if (rc < 0 && errno == EINTR) continue;  // the deadline holds across signals
        if (rc < 0) return Wait::kReady;         // let the next call report the failure
        if (woken && woken->is_set()) return Wait::kWoken;
        if (rc == 0) {
            if (deadline >= 0 && time_left(deadline) == 0) return Wait::kTimeout;
            continue;
        }
        if (p.revents & (events | POLLERR | POLLHUP | POLLNVAL)) return Wait::kReady;
        hangup_wakes = false;
    }
}

void set_blocking(Socket s, bool blocking) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return;
    fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

void set_int_option(Socket s, int level, int name, int value) {
    setsockopt(s, level, name, &value, sizeof value);
}

}  // namespace

// Nothing to set up: the socket calls are the kernel's own.
void socket_layer_init() {}

Socket tcp_socket() {
    Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? kNoSocket : s;
}

// Every provider of sockets here is the kernel's.
const char* socket_unsupported_reason(Socket) { return nullptr; }

void socket_close(Socket s) {
    if (s != kNoSocket) close(s);
}

void socket_shutdown(Socket s) {
    if (s != kNoSocket) shutdown(s, SHUT_RDWR);
}

void socket_shutdown_write(Socket s) {
    if (s != kNoSocket) shutdown(s, SHUT_WR);
}

void socket_close_abortive(Socket s) {
    if (s == kNoSocket) return;
    linger off{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(s);
}

// A read shutdown makes a blocked recv return 0 and raises POLLRDHUP, and
// unlike a write shutdown it sends the peer nothing.
void socket_wake(Socket s, Wake& woken) {
    woken.set();
    if (s != kNoSocket) shutdown(s, SHUT_RD);
}

void socket_set_nodelay(Socket s) { set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1); }

void socket_set_reuseaddr(Socket s) { set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1); }

bool socket_bind_any(Socket s, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
    return bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool socket_listen(Socket s, int backlog) { return listen(s, backlog) == 0; }

int socket_local_port(Socket s) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

// The stop's shutdown of the listener wakes accept here: `stop` is not needed.
Socket socket_accept(Socket listener, char* ip, size_t ip_cap, const Wake*) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    Socket s;
    do {
        len = sizeof peer;
        s = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0) return kNoSocket;
    if (ip && ip_cap > 0) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        size_t n = strnlen(text, ip_cap - 1);
        memcpy(ip, text, n);
        ip[n] = '\0';
    }
    return s;
}

// A wake shuts the receiving side down, which ends a blocked recv with 0:
// only a wake that came first needs looking at.
long socket_recv(Socket s, void* buf, size_t len, const Wake* woken) {
    if (woken && woken->is_set()) return 0;
    ssize_t n;
    do n = recv(s, buf, len, 0);
    while (n < 0 && errno == EINTR);
    long r = finish_transfer(n);
    return r == kWouldBlock ? -1 : r;  // not expected on a blocking socket: a failure
}

// A wake sends nothing and so ends no blocked send: a send that can be woken
// waits for room itself.
long socket_send(Socket s, const void* buf, size_t len, const Wake* woken) {
    while (woken) {
        long n = socket_send_nowait(s, buf, len);
        if (n != kWouldBlock) return n;
        if (wait_for(s, POLLOUT, -1, woken) == Wait::kWoken) return -1;
    }
    ssize_t n;
    do n = send(s, buf, len, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    long r = finish_transfer(n);
    return r == kWouldBlock ? -1 : r;
}

long socket_recv_nowait(Socket s, void* buf, size_t len) {
    ssize_t n;
    do n = recv(s, buf, len, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return finish_transfer(n);
}

long socket_send_nowait(Socket s, const void* buf, size_t len) {
    ssize_t n;
    do n = send(s, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return finish_transfer(n);
}

bool last_error_was_reset() {
    return t_last_errno == EPIPE || t_last_errno == ECONNRESET;
}

Wait wait_readable(Socket s, int timeout_ms, const Wake* woken) {
    return wait_for(s, POLLIN, timeout_ms, woken);
}

bool send_slot_open(SendSlot&) { return true; }

long socket_send_handover(Socket s, SendSlot&, const void* buf, size_t len) {
    return socket_send_nowait(s, buf, len);
}

Wait wait_send_room(Socket s, SendSlot&, int timeout_ms, const Wake* woken) {
    return wait_for(s, POLLOUT, timeout_ms, woken);
}

Wait wait_readable_or_send_room(Socket s, SendSlot&, int timeout_ms, const Wake* woken) {
    return wait_for(s, POLLIN | POLLOUT, timeout_ms, woken);
}

void send_slot_close(Socket, SendSlot&) {}

// A listening socket that was shut down reports POLLHUP even when asked for
// no event, so it wakes the wait without reporting waiting clients.
Wait wait_readable_while_listening(Socket s, Socket listener, int timeout_ms,
                                   const Wake*) {
    const long long deadline = deadline_after(timeout_ms);
    for (;;) {
        pollfd p[2] = {{s, POLLIN, 0}, {listener, 0, 0}};
        int rc = poll(p, 2, time_left(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return Wait::kReady;
        if (p[1].revents) return Wait::kWoken;
        if (rc > 0) return Wait::kReady;
        if (time_left(deadline) == 0) return Wait::kTimeout;
    }
}

long long monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms,
                          const Wake* woken) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
    addr.sin_addr.s_addr = inet_addr(ip);
    set_blocking(s, false);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        return false;  // refused at once, as a loopback connect to a closed port is
    }
    if (wait_for(s, POLLOUT, timeout_ms, woken) != Wait::kReady) return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
    set_blocking(s, true);
    return true;
}

}  // namespace plat
