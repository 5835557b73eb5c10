// Sockets, as the rest of the library sees them. Every call that touches the
// operating system's socket interface lives behind these functions, so a port
// to another platform replaces the files in one folder.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace plat {

#if defined(_WIN32)
// A Winsock SOCKET: an unsigned handle as wide as a pointer; "none" is
// INVALID_SOCKET. Spelled out here so that no Windows header leaks into the
// rest of the library (win/socket.cpp checks both against winsock2.h).
using Socket = std::uintptr_t;
constexpr Socket kNoSocket = ~static_cast<Socket>(0);
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#endif

// Outcome of a non-blocking transfer.
constexpr long kWouldBlock = -2;

// Outcome of a wait on a socket.
enum class Wait {
    kReady,    // the socket is ready, has an error or its peer hung up
    kTimeout,  // the time ran out
    kWoken,    // another thread woke the wait (socket_wake); give up
};

// Makes the socket interface usable by this process. Called by every start
// before anything else; its failure shows as the failure of the first
// socket. Nothing on POSIX.
void socket_layer_init();

Socket tcp_socket();                 // IPv4 stream socket, or kNoSocket
void socket_close(Socket s);
// Closes with a reset instead of an orderly end, discarding unsent bytes, so
// the peer can tell a cut stream from a complete one.
void socket_close_abortive(Socket s);
void socket_shutdown(Socket s);       // both directions; wakes every blocked call on it
void socket_shutdown_write(Socket s); // the peer reads the end of the stream; reading goes on
void socket_set_nodelay(Socket s);
// For a listener: the port can be bound again at once after a stop, while
// no other socket can take a port that is in use.
void socket_set_reuseaddr(Socket s);
bool socket_bind_any(Socket s, int port);   // low 16 bits of port
bool socket_listen(Socket s, int backlog);
int socket_local_port(Socket s);             // the bound port, or -1

// Ends, from another thread, every blocked receive on the connected socket s
// and every wait on s given `woken`, now and later: sets `woken` first, then
// wakes. Sends nothing to the peer.
void socket_wake(Socket s, std::atomic<int>& woken);

// Blocks until a client arrives; kNoSocket on failure. ip gets the peer's
// dotted-decimal address (NUL-terminated, at most ip_cap - 1 bytes) when
// ip is not null. Where a shutdown of the listener wakes no accept, the
// wait also ends (kNoSocket) soon after a non-null `stop` is set.
Socket socket_accept(Socket listener, char* ip, size_t ip_cap,
                     const std::atomic<int>* stop = nullptr);

// Blocking transfers. recv: > 0 bytes, 0 peer closed (or woken), < 0 failure.
// send never raises SIGPIPE: > 0 bytes, <= 0 failure. Both retry EINTR.
long socket_recv(Socket s, void* buf, size_t len);
long socket_send(Socket s, const void* buf, size_t len);
// Sends all len bytes, looping over short sends. False when a send failed.
bool socket_send_all(Socket s, const void* buf, size_t len);
// The same, but a wait for room in the socket ends when `woken` is set
// (socket_wake): false then too.
bool socket_send_all(Socket s, const void* buf, size_t len, const std::atomic<int>& woken);

// Non-blocking transfers: as above, or kWouldBlock.
long socket_recv_nowait(Socket s, void* buf, size_t len);
long socket_send_nowait(Socket s, const void* buf, size_t len);

// True when the last failed transfer on this thread means the peer reset or
// vanished (as opposed to any other failure).
bool last_error_was_reset();

// Waits until s is readable (or writable, or either) or has an error or
// hang-up. timeout_ms < 0 waits without limit. A `woken` word that is set
// (before or during the wait) gives kWoken.
Wait wait_readable(Socket s, int timeout_ms, const std::atomic<int>* woken = nullptr);
Wait wait_writable(Socket s, int timeout_ms, const std::atomic<int>* woken = nullptr);
Wait wait_readable_or_writable(Socket s, int timeout_ms, const std::atomic<int>* woken = nullptr);

// Waits until the client socket s is readable, or the listening socket it
// came from has been shut down (kWoken), or the time ran out. Where a
// listener's shutdown wakes nothing, a non-null `stop` that is set gives
// kWoken instead.
Wait wait_readable_while_listening(Socket s, Socket listener, int timeout_ms,
                                   const std::atomic<int>* stop = nullptr);

// Connects to an IPv4 address given as dotted-decimal text and the low 16 bits
// of port, within timeout_ms. On success the socket works as tcp_socket made
// it (blocking on POSIX; on Windows every socket stays non-blocking and its
// blocking calls wait in slices). A connect that fails at once counts as a
// failure like any other.
bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms);

// Milliseconds on a clock that only moves forward, for deadlines that no
// change of the wall clock can stretch.
long long monotonic_ms();

}  // namespace plat
