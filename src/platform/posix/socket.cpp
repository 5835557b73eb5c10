#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {
namespace {

thread_local int t_last_errno = 0;

long finish_transfer(ssize_t n) {
    if (n >= 0) return static_cast<long>(n);
    t_last_errno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    return -1;
}

bool wait_for(Socket s, short events, int timeout_ms) {
    pollfd p{s, events, 0};
    for (;;) {
        int rc = poll(&p, 1, timeout_ms);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return true;  // let the next call report the failure
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

Socket tcp_socket() {
    Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? kNoSocket : s;
}

void socket_close(Socket s) {
    if (s != kNoSocket) close(s);
}

void socket_shutdown(Socket s) {
    if (s != kNoSocket) shutdown(s, SHUT_RDWR);
}

void socket_shutdown_read(Socket s) {
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

Socket socket_accept(Socket listener, char* ip, size_t ip_cap) {
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

long socket_recv(Socket s, void* buf, size_t len) {
    ssize_t n;
    do n = recv(s, buf, len, 0);
    while (n < 0 && errno == EINTR);
    long r = finish_transfer(n);
    return r == kWouldBlock ? -1 : r;  // a receive time-out ends the read
}

long socket_send(Socket s, const void* buf, size_t len) {
    ssize_t n;
    do n = send(s, buf, len, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    long r = finish_transfer(n);
    return r == kWouldBlock ? -1 : r;
}

bool socket_send_all(Socket s, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        long n = socket_send(s, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
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

bool wait_readable(Socket s, int timeout_ms) { return wait_for(s, POLLIN, timeout_ms); }

bool wait_writable(Socket s, int timeout_ms) { return wait_for(s, POLLOUT, timeout_ms); }

bool wait_readable_or_writable(Socket s, int timeout_ms) {
    return wait_for(s, POLLIN | POLLOUT, timeout_ms);
}

bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
    addr.sin_addr.s_addr = inet_addr(ip);
    set_blocking(s, false);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        return false;  // refused at once, as a loopback connect to a closed port is
    }
    if (!wait_writable(s, timeout_ms)) return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
    set_blocking(s, true);
    return true;
}

void socket_set_recv_timeout(Socket s, int timeout_ms) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace plat
