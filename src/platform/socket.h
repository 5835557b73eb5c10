// Sockets, as the rest of the library sees them. Every call that touches the
// operating system's socket interface lives behind these functions, so a port
// to another platform replaces the files in one folder.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace plat {

using Socket = int;
constexpr Socket kNoSocket = -1;

// Outcome of a non-blocking transfer.
constexpr long kWouldBlock = -2;

Socket tcp_socket();                 // IPv4 stream socket, or kNoSocket
void socket_close(Socket s);
void socket_shutdown(Socket s);      // both directions; wakes every blocked call on it
void socket_shutdown_read(Socket s); // read side only; sends nothing to the peer
void socket_set_nodelay(Socket s);
void socket_set_reuseaddr(Socket s);
bool socket_bind_any(Socket s, int port);   // low 16 bits of port
bool socket_listen(Socket s, int backlog);
int socket_local_port(Socket s);             // the bound port, or -1

// Blocks until a client arrives; kNoSocket on failure. ip gets the peer's
// dotted-decimal address (NUL-terminated, at most ip_cap - 1 bytes) when
// ip is not null.
Socket socket_accept(Socket listener, char* ip, size_t ip_cap);

// Blocking transfers. recv: > 0 bytes, 0 peer closed, < 0 failure.
// send never raises SIGPIPE: > 0 bytes, <= 0 failure. Both retry EINTR.
long socket_recv(Socket s, void* buf, size_t len);
long socket_send(Socket s, const void* buf, size_t len);
// Sends all len bytes, looping over short sends. False when a send failed.
bool socket_send_all(Socket s, const void* buf, size_t len);

// Non-blocking transfers: as above, or kWouldBlock.
long socket_recv_nowait(Socket s, void* buf, size_t len);
long socket_send_nowait(Socket s, const void* buf, size_t len);

// True when the last failed transfer on this thread means the peer reset or
// vanished (as opposed to any other failure).
bool last_error_was_reset();

// Waits until s is readable (or writable) or has an error or hang-up.
// timeout_ms < 0 waits without limit. False on time-out.
bool wait_readable(Socket s, int timeout_ms);
bool wait_writable(Socket s, int timeout_ms);
// Either of the two.
bool wait_readable_or_writable(Socket s, int timeout_ms);

// Connects to an IPv4 address given as dotted-decimal text and the low 16 bits
// of port, within timeout_ms. On success the socket is blocking again.
// A connect that fails at once counts as a failure like any other.
bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms);

// Receive time-out for blocking reads on s.
void socket_set_recv_timeout(Socket s, int timeout_ms);

}  // namespace plat
