#include "support/sockets.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sockets {

int tcp_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int accept(int listener) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || (errno != EINTR && errno != ECONNABORTED)) return fd;
    }
}

void close(int fd) { ::close(fd); }

long send(int fd, const void* buf, size_t n) {
    ssize_t r;
    do r = ::send(fd, buf, n, MSG_NOSIGNAL);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long recv(int fd, void* buf, size_t n) {
    ssize_t r;
    do r = ::recv(fd, buf, n, 0);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long send_now(int fd, const void* buf, size_t n) {
    ssize_t r;
    do r = ::send(fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long recv_now(int fd, void* buf, size_t n) {
    ssize_t r;
    do r = ::recv(fd, buf, n, MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

// MSG_DONTWAIT changes nothing on a non-blocking socket.
long send_some(int fd, const void* buf, size_t n) { return send_now(fd, buf, n); }
long recv_some(int fd, void* buf, size_t n) { return recv_now(fd, buf, n); }

int connect(int fd, const sockaddr_in& to) {
    int rc;
    do rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    while (rc != 0 && errno == EINTR);
    return rc;
}

int set_option(int fd, int level, int name, const void* value, size_t len) {
    return ::setsockopt(fd, level, name, value, static_cast<socklen_t>(len));
}

// A connect still under way shows as no error yet and no peer.
int connect_result(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    if (err != 0) return err;
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0) return 0;
    return errno == ENOTCONN ? -1 : errno;
}

std::string error_text(int error) { return std::strerror(error); }

int wait(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int rc = poll_all(&p, 1, timeout_ms);
    return rc > 0 ? p.revents : rc;
}

// An interrupted poll counts as a wake-up with nothing to report: the callers
// all loop until their deadline.
int poll_all(pollfd* fds, size_t n, int timeout_ms) {
    int rc = ::poll(fds, n, timeout_ms);
    return rc < 0 && errno == EINTR ? 0 : rc;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int unread_bytes(int fd) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS; }

int last_error() { return errno; }

void shutdown_write(int fd) { ::shutdown(fd, SHUT_WR); }
void shutdown_read_and_wake(int fd) { ::shutdown(fd, SHUT_RD); }
void shutdown_and_wake(int fd) { ::shutdown(fd, SHUT_RDWR); }

// On Linux shutting a listener down ends a blocked accept.
void wake_listener(int listener, int) { ::shutdown(listener, SHUT_RDWR); }

}  // namespace sockets
