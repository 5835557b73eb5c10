// The socket and process calls the tests make, on Linux and Windows alike;
// support/posix/ and support/win/ hold the two halves.
//
// Tests hold sockets as int, -1 for none. A Windows socket is a handle, and
// Windows keeps handle values within 32 bits (so 32- and 64-bit programs can
// share them), so an int holds one without loss.
#pragma once

#include <cstddef>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace sockets {

// A new TCP socket that child processes do not inherit; -1 on failure.
int tcp_socket();
// Accepts one connection (not inherited either); -1 on failure.
int accept(int listener);
void close(int fd);

// One call each, retried when a signal interrupted it; never raise SIGPIPE.
// Return what the system call returns (-1 on failure).
long send(int fd, const void* buf, size_t n);
long recv(int fd, void* buf, size_t n);
int connect(int fd, const sockaddr_in& to);
// One send or recv that does not wait, whether fd blocks or not
// (MSG_DONTWAIT); -1 with would_block() true when it would have had to.
long send_now(int fd, const void* buf, size_t n);
long recv_now(int fd, void* buf, size_t n);
int set_option(int fd, int level, int name, const void* value, size_t len);

// For event loops, whose sockets set_nonblocking made non-blocking for good:
// one send or recv, -1 with would_block() true when it would have had to
// wait. (send_now and recv_now would make such a socket block again on
// Windows, where non-blocking is a mode of the socket, not of the call.)
long send_some(int fd, const void* buf, size_t n);
long recv_some(int fd, void* buf, size_t n);
// How a connect begun on a non-blocking socket went: 0 once connected, -1
// while it is still under way, else the error that ended it.
int connect_result(int fd);
// A socket error number (last_error(), connect_result()) in words.
std::string error_text(int error);

// Waits until fd reports one of `events` (POLLIN, POLLOUT); returns the
// reported events, 0 on time-out, -1 on failure.
int wait(int fd, short events, int timeout_ms);
// poll() over several sockets; the same result as poll.
int poll_all(pollfd* fds, size_t n, int timeout_ms);

void set_nonblocking(int fd);
// Bytes waiting unread in fd's receive queue (FIONREAD).
int unread_bytes(int fd);
// True when the last failed call would have blocked (EAGAIN, WSAEWOULDBLOCK
// or a connect in progress).
bool would_block();
// The last socket error number (errno, WSAGetLastError()).
int last_error();

void shutdown_write(int fd);
// Shuts the receiving side down and wakes a thread blocked in a call on fd.
void shutdown_read_and_wake(int fd);
// Shuts both directions down and wakes any thread blocked in a call on fd
// (Winsock's shutdown alone wakes none).
void shutdown_and_wake(int fd);
// Makes a thread blocked in accept on listener (bound to 127.0.0.1:port)
// return; it must then find its stop flag set.
void wake_listener(int listener, int port);

}  // namespace sockets
