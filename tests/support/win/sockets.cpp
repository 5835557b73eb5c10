#include "support/sockets.h"

#include <windows.h>

#include <string>

namespace sockets {
namespace {

// Winsock must be started before the first socket call; the tests make some
// (a free port, a backend) before the library starts it for itself.
struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
} g_winsock;

SOCKET s(int fd) { return static_cast<SOCKET>(fd); }
int fd_of(SOCKET sock) { return sock == INVALID_SOCKET ? -1 : static_cast<int>(sock); }

// Ends accept, recv, send or WSAPoll blocked on fd in another thread.
void cancel_blocked(int fd) { CancelIoEx(reinterpret_cast<HANDLE>(s(fd)), nullptr); }

}  // namespace

int tcp_socket() {
    return fd_of(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

int accept(int listener) {
    SOCKET c = ::accept(s(listener), nullptr, nullptr);
    if (c != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    return fd_of(c);
}

void close(int fd) { closesocket(s(fd)); }

namespace {

long send_once(int fd, const void* buf, size_t n) {
    return ::send(s(fd), static_cast<const char*>(buf), static_cast<int>(n), 0);
}

long recv_once(int fd, void* buf, size_t n) {
    return ::recv(s(fd), static_cast<char*>(buf), static_cast<int>(n), 0);
}

// Winsock has no MSG_DONTWAIT: the socket is non-blocking for the one call.
// The tests' sockets block otherwise.
template <typename Call>
long without_waiting(int fd, Call call) {
    u_long on = 1;
    u_long off = 0;
    ioctlsocket(s(fd), FIONBIO, &on);
    long r = call();
    int error = WSAGetLastError();
    ioctlsocket(s(fd), FIONBIO, &off);
    WSASetLastError(error);
    return r;
}

// A blocking call that starts while another thread has the socket
// non-blocking for a moment (a backend that sends and receives on two
// threads) would fail with WSAEWOULDBLOCK: it waits and tries again.
template <typename Call>
long blocking(int fd, short events, Call call) {
    for (;;) {
        long r = call();
        if (r >= 0 || WSAGetLastError() != WSAEWOULDBLOCK) return r;
        WSAPOLLFD p{s(fd), events, 0};
        WSAPoll(&p, 1, 50);
    }
}

}  // namespace

long send(int fd, const void* buf, size_t n) {
    return blocking(fd, POLLWRNORM, [&] { return send_once(fd, buf, n); });
}

long recv(int fd, void* buf, size_t n) {
    return blocking(fd, POLLRDNORM, [&] { return recv_once(fd, buf, n); });
}

long send_now(int fd, const void* buf, size_t n) {
    return without_waiting(fd, [&] { return send_once(fd, buf, n); });
}

long recv_now(int fd, void* buf, size_t n) {
    return without_waiting(fd, [&] { return recv_once(fd, buf, n); });
}

// The socket is non-blocking already: one plain call.
long send_some(int fd, const void* buf, size_t n) { return send_once(fd, buf, n); }
long recv_some(int fd, void* buf, size_t n) { return recv_once(fd, buf, n); }

int connect(int fd, const sockaddr_in& to) {
    return ::connect(s(fd), reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int set_option(int fd, int level, int name, const void* value, size_t len) {
    return ::setsockopt(s(fd), level, name, static_cast<const char*>(value), static_cast<int>(len));
}

// A connect still under way shows as no error yet and no peer.
int connect_result(int fd) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
        return WSAGetLastError();
    }
    if (err != 0) return err;
    sockaddr_in peer{};
    int peer_len = sizeof peer;
    if (::getpeername(s(fd), reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0) return 0;
    int error = WSAGetLastError();
    return error == WSAENOTCONN ? -1 : error;
}

// Winsock's numbers (WSAECONNREFUSED and the like) have no text in the C
// library; the number is what its documentation is found by.
std::string error_text(int error) { return "Winsock error " + std::to_string(error); }

int wait(int fd, short events, int timeout_ms) {
    WSAPOLLFD p{s(fd), events, 0};
    int rc = WSAPoll(&p, 1, timeout_ms);
    return rc > 0 ? p.revents : rc;
}

int poll_all(pollfd* fds, size_t n, int timeout_ms) {
    return WSAPoll(fds, static_cast<ULONG>(n), timeout_ms);
}

void set_nonblocking(int fd) {
    u_long on = 1;
    ioctlsocket(s(fd), FIONBIO, &on);
}

int unread_bytes(int fd) {
    u_long n = 0;
    ioctlsocket(s(fd), FIONREAD, &n);
    return static_cast<int>(n);
}

bool would_block() { return WSAGetLastError() == WSAEWOULDBLOCK; }

int last_error() { return WSAGetLastError(); }

void shutdown_write(int fd) { ::shutdown(s(fd), SD_SEND); }

void shutdown_read_and_wake(int fd) {
    ::shutdown(s(fd), SD_RECEIVE);
    cancel_blocked(fd);
}

// After the shutdown a new recv fails at once; a call already blocked needs
// the cancel.
void shutdown_and_wake(int fd) {
    ::shutdown(s(fd), SD_BOTH);
    cancel_blocked(fd);
}

// Winsock's shutdown does not end accept, and a cancel misses an accept not
// yet begun; a connection of our own always ends it.
void wake_listener(int listener, int port) {
    cancel_blocked(listener);
    int c = tcp_socket();
    if (c < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(port));
    connect(c, a);
    close(c);
}

}  // namespace sockets
