// Sockets on Winsock.
//
// Winsock's shutdown wakes no blocked call: not accept on a listener, not
// recv, send or WSAPoll on a connected socket. The library stops listeners
// and ends blocked transfers by shutting sockets down, so here every socket
// is non-blocking for its whole life and every blocking call is a loop of
// short waits (kSliceMs) that looks again after each one:
//  - a transfer retries the non-blocking call, which fails at once with
//    WSAESHUTDOWN once this side has shut the socket down;
//  - a wait given a `woken` or `stop` word reads the word;
//  - a wait given neither asks the socket whether it was shut down here.
// CancelIoEx on wake and shutdown ends a wait sooner where it can; the
// slices are what every wake relies on.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <type_traits>

#include "platform/deadline.h"

namespace plat {

static_assert(std::is_same_v<Socket, SOCKET>, "plat::Socket must be a Winsock SOCKET");
static_assert(kNoSocket == INVALID_SOCKET, "kNoSocket must be INVALID_SOCKET");

namespace {

// Longest a blocked call goes without looking for a shutdown or a set word.
// It bounds how late a wake is seen (a connection's end waits for its relay
// thread's read to notice the backend shutdown) against how often an idle
// connection's threads wake for nothing (1000 / kSliceMs times a second each).
constexpr int kSliceMs = 20;

thread_local int t_last_error = 0;

// The next slice: never longer than kSliceMs, nor than the time left.
int slice(long long deadline) {
    int left = time_left(deadline);
    return left < 0 || left > kSliceMs ? kSliceMs : left;
}

int clamp_len(size_t len) {
    return len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
}

void set_nonblocking(Socket s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

// The result of a non-blocking recv: a receive side shut down here reads as
// the end of the stream, as it does on Linux.
long finish_recv(int n) {
    if (n >= 0) return n;
    int err = WSAGetLastError();
    if (err == WSAESHUTDOWN) return 0;  // no failure: leaves t_last_error alone
    t_last_error = err;
    return err == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

long finish_send(int n) {
    if (n >= 0) return n;
    t_last_error = WSAGetLastError();
    return t_last_error == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

// True when this side has shut the socket down (wholly or for receiving),
// which a WSAPoll does not report. A peek takes nothing from the stream.
bool shut_down_here(Socket s) {
    char c;
    return recv(s, &c, 1, MSG_PEEK) == SOCKET_ERROR && WSAGetLastError() == WSAESHUTDOWN;
}

// One slice of waiting for `events`; true when WSAPoll reported anything
// (readiness, an error, a hang-up) or failed (the caller's next call reports
// the failure; a cancelled wait lands here too).
bool poll_slice(Socket s, short events, int ms) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = events;
    return WSAPoll(&p, 1, ms) != 0;
}

Wait wait_for(Socket s, short events, int timeout_ms, const std::atomic<int>* woken) {
    const long long deadline = deadline_after(timeout_ms);
    for (;;) {
        if (woken && woken->load()) return Wait::kWoken;
        if (poll_slice(s, events, slice(deadline))) {
            if (woken && woken->load()) return Wait::kWoken;
            return Wait::kReady;
        }
        if (woken && woken->load()) return Wait::kWoken;
        // A shutdown here raises the hang-up on Linux; let the caller's next
        // call find it.
        if (shut_down_here(s)) return Wait::kReady;
        if (deadline >= 0 && time_left(deadline) == 0) return Wait::kTimeout;
    }
}

// Ends a WSAPoll or other call blocked on s in another thread, where the
// system lets it (Wine does; Windows is not known to for WSAPoll).
void cancel_blocked(Socket s) {
    CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

}  // namespace

// Every start asks for Winsock 2.2 again and nothing ever releases it, so the
// library's sockets work whatever the host did with its own references. A
// failure shows at the first socket the start opens.
void socket_layer_init() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

Socket tcp_socket() {
    Socket s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s != kNoSocket) set_nonblocking(s);
    return s;
}

void socket_close(Socket s) {
    if (s != kNoSocket) closesocket(s);
}

void socket_shutdown(Socket s) {
    if (s == kNoSocket) return;
    shutdown(s, SD_BOTH);
    cancel_blocked(s);
}

void socket_shutdown_write(Socket s) {
    if (s != kNoSocket) shutdown(s, SD_SEND);
}

void socket_close_abortive(Socket s) {
    if (s == kNoSocket) return;
    linger off{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
    closesocket(s);
}

// The read shutdown makes every later recv on s fail with WSAESHUTDOWN,
// which the sliced receive notices; it sends the peer nothing.
void socket_wake(Socket s, std::atomic<int>& woken) {
    woken.store(1);
    if (s == kNoSocket) return;
    shutdown(s, SD_RECEIVE);
    cancel_blocked(s);
}

void socket_set_nodelay(Socket s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// SO_REUSEADDR on Windows would let another socket bind a port in use.
// Exclusive use keeps it ours; a port left in TIME_WAIT by a stop can still
// be bound again, unlike the Linux default.
void socket_set_reuseaddr(Socket s) {
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}

bool socket_bind_any(Socket s, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<u_short>(port & 0xffff));
    return bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool socket_listen(Socket s, int backlog) { return listen(s, backlog) == 0; }

int socket_local_port(Socket s) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

// A shutdown of a listener fails and wakes nothing here: the stop is seen
// through `stop` within a slice. A closed listener fails the accept.
Socket socket_accept(Socket listener, char* ip, size_t ip_cap, const std::atomic<int>* stop) {
    sockaddr_in peer{};
    Socket s;
    for (;;) {
        if (stop && stop->load()) return kNoSocket;
        int len = sizeof peer;
        s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
        if (s != kNoSocket) break;
        int err = WSAGetLastError();
        // A client that reset while it waited in the backlog is gone; the
        // next one may be waiting already.
        if (err == WSAECONNRESET) continue;
        if (err != WSAEWOULDBLOCK) return kNoSocket;
        poll_slice(listener, POLLRDNORM, kSliceMs);
    }
    // Not inheritable, like every socket of the library, and non-blocking
    // whatever it took over from the listener.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    set_nonblocking(s);
    if (ip && ip_cap > 0) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        size_t n = strnlen(text, ip_cap - 1);
        memcpy(ip, text, n);
        ip[n] = '\0';
    }
    return s;
}

long socket_recv_nowait(Socket s, void* buf, size_t len) {
    return finish_recv(recv(s, static_cast<char*>(buf), clamp_len(len), 0));
}

long socket_send_nowait(Socket s, const void* buf, size_t len) {
    return finish_send(send(s, static_cast<const char*>(buf), clamp_len(len), 0));
}

// Each slice retries the receive itself: after a shutdown here it fails at
// once (0, the end of the stream), where a WSAPoll would wait on.
long socket_recv(Socket s, void* buf, size_t len) {
    for (;;) {
        long n = socket_recv_nowait(s, buf, len);
        if (n != kWouldBlock) return n;
        poll_slice(s, POLLRDNORM, kSliceMs);
    }
}

// Likewise: a send after a shutdown here fails at once.
long socket_send(Socket s, const void* buf, size_t len) {
    for (;;) {
        long n = socket_send_nowait(s, buf, len);
        if (n != kWouldBlock) return n;
        poll_slice(s, POLLWRNORM, kSliceMs);
    }
}

// A send after a shutdown here counts with the resets, as EPIPE does on Linux.
bool last_error_was_reset() {
    return t_last_error == WSAECONNRESET || t_last_error == WSAECONNABORTED ||
           t_last_error == WSAENETRESET || t_last_error == WSAESHUTDOWN;
}

Wait wait_readable(Socket s, int timeout_ms, const std::atomic<int>* woken) {
    return wait_for(s, POLLRDNORM, timeout_ms, woken);
}

Wait wait_writable(Socket s, int timeout_ms, const std::atomic<int>* woken) {
    return wait_for(s, POLLWRNORM, timeout_ms, woken);
}

Wait wait_readable_or_writable(Socket s, int timeout_ms, const std::atomic<int>* woken) {
    return wait_for(s, POLLRDNORM | POLLWRNORM, timeout_ms, woken);
}

// The listener's shutdown reports nothing here: the stop word does.
Wait wait_readable_while_listening(Socket s, Socket, int timeout_ms,
                                   const std::atomic<int>* stop) {
    const long long deadline = deadline_after(timeout_ms);
    for (;;) {
        if (stop && stop->load()) return Wait::kWoken;
        if (poll_slice(s, POLLRDNORM, slice(deadline))) return Wait::kReady;
        if (deadline >= 0 && time_left(deadline) == 0) {
            return stop && stop->load() ? Wait::kWoken : Wait::kTimeout;
        }
    }
}

long long monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

// select, not WSAPoll: WSAPoll misses a refused connect on older Windows.
// A refused connect lands in the exception set.
bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port & 0xffff));
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return false;
    set_nonblocking(s);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &limit) <= 0) {
        return false;  // the time ran out, or select failed
    }
    if (FD_ISSET(s, &failed)) return false;
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
        return false;
    }
    return err == 0;
}

}  // namespace plat
