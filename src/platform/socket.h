// Sockets, as the rest of the library sees them. Every call that touches the
// operating system's socket interface lives behind these functions, so a port
// to another platform replaces the files in one folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wake.h"

namespace plat {

#if defined(_WIN32)
// A Winsock SOCKET: an unsigned handle as wide as a pointer; "none" is
// INVALID_SOCKET. Spelled out here so that no Windows header leaks into the
// rest of the library (win/socket.cpp checks both against winsock2.h).
using Socket = std::uintptr_t;
constexpr Socket kNoSocket = ~static_cast<Socket>(0);

// A send handed over to the system (socket_send_handover): its OVERLAPPED
// (checked against winsock2.h in win/socket.cpp), its event and the bytes it
// sends.
struct SendSlot {
    alignas(8) unsigned char overlapped[32] = {};
    void* event = nullptr;
    const void* buf = nullptr;
    size_t len = 0;
    bool busy = false;  // a send is in flight or its result not yet taken
};
#else
using Socket = int;
constexpr Socket kNoSocket = -1;

// Nothing stays in flight on POSIX.
struct SendSlot {};
#endif

// Outcome of a non-blocking transfer.
constexpr long kWouldBlock = -2;

// Outcome of a wait on a socket.
enum class Wait {
    kReady,    // the socket is ready, has an error or its peer hung up
    kTimeout,  // the time ran out
    kWoken,    // the Wake given to the wait was set; give up
};

// Makes the socket interface usable by this process. Called by every start
// before anything else; its failure shows as the failure of the first
// socket. Nothing on POSIX.
void socket_layer_init();

Socket tcp_socket();                 // IPv4 stream socket, or kNoSocket
// Null when this layer can serve s and the sockets made like it; otherwise
// why not, for the start's message (on Windows: a layered provider whose
// sockets its waits cannot use). Null on POSIX.
const char* socket_unsupported_reason(Socket s);
void socket_close(Socket s);
// Closes with a reset instead of an orderly end, discarding unsent bytes, so
// the peer can tell a cut stream from a complete one.
void socket_close_abortive(Socket s);
// Both directions. Ends every call blocked on s in another thread (on a
// connected socket; a listener's accept ends through the stop Wake instead),
// and every later transfer on s fails at once.
void socket_shutdown(Socket s);
void socket_shutdown_write(Socket s); // the peer reads the end of the stream; reading goes on
void socket_set_nodelay(Socket s);
// For a listener: the port can be bound again at once after a stop, while
// no other socket can take a port that is in use.
void socket_set_reuseaddr(Socket s);
bool socket_bind_any(Socket s, int port);   // low 16 bits of port
bool socket_listen(Socket s, int backlog);
int socket_local_port(Socket s);             // the bound port, or -1

// Sets `woken` and ends, from another thread, every call blocked on the
// connected socket s that was given `woken`, now and later. Sends nothing to
// the peer.
void socket_wake(Socket s, Wake& woken);

// Blocks until a client arrives; kNoSocket on failure, or once `stop` (when
// not null) is set. ip gets the peer's dotted-decimal address (NUL-terminated,
// at most ip_cap - 1 bytes) when ip is not null.
Socket socket_accept(Socket listener, char* ip, size_t ip_cap, const Wake* stop = nullptr);

// Blocking transfers; a non-null `woken` that is set (before or during the
// call) ends them. recv: > 0 bytes, 0 peer closed, shut down here or woken,
// < 0 failure. send never raises SIGPIPE: > 0 bytes, <= 0 failure or woken.
long socket_recv(Socket s, void* buf, size_t len, const Wake* woken = nullptr);
long socket_send(Socket s, const void* buf, size_t len, const Wake* woken = nullptr);
// Sends all len bytes, looping over short sends. False when a send failed or
// `woken` was set.
bool socket_send_all(Socket s, const void* buf, size_t len, const Wake* woken = nullptr);

// Non-blocking transfers: as above, or kWouldBlock.
long socket_recv_nowait(Socket s, void* buf, size_t len);
long socket_send_nowait(Socket s, const void* buf, size_t len);

// True when the last failed transfer on this thread means the peer reset or
// vanished (as opposed to any other failure).
bool last_error_was_reset();

// Waits until s is readable or has an error or an end of stream. timeout_ms
// < 0 waits without limit. A `woken` that is set gives kWoken.
Wait wait_readable(Socket s, int timeout_ms, const Wake* woken = nullptr);

// Waits until the client socket s is readable, or `stop` is set or the
// listening socket it came from has been shut down (kWoken), or the time ran
// out.
Wait wait_readable_while_listening(Socket s, Socket listener, int timeout_ms,
                                   const Wake* stop = nullptr);

// Connects to an IPv4 address given as dotted-decimal text (read as
// inet_addr reads it) and the low 16 bits of port, within timeout_ms; a set
// `woken` gives up. A connect that fails at once counts as a failure like
// any other.
bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms,
                          const Wake* woken = nullptr);

// Sends for a caller that must not wait where it sends (the TLS layer sends
// under its session's lock and waits outside it). A send that finds no room
// hands the bytes over: on Windows an overlapped send goes on from the
// caller's buffer, which must stay unchanged until a later handover of the
// same bytes reports them sent, or until send_slot_close; on POSIX nothing
// stays in flight and the later call simply sends again. One slot per
// socket; its calls are serialised by the caller, its waits may run on any
// number of threads.
bool send_slot_open(SendSlot& slot);   // false: no slot could be made
// > 0: bytes of buf sent (now, or by the send in flight for these same
// bytes); kWouldBlock: no room yet; < 0: failure.
long socket_send_handover(Socket s, SendSlot& slot, const void* buf, size_t len);
// Waits until the slot's send in flight has finished (POSIX: until s is
// writable), or s has an error, or `woken` is set.
Wait wait_send_room(Socket s, SendSlot& slot, int timeout_ms, const Wake* woken);
// Either of wait_readable and wait_send_room.
Wait wait_readable_or_send_room(Socket s, SendSlot& slot, int timeout_ms, const Wake* woken);
// Cancels a send still in flight and waits until the system has let go of
// its buffer; releases the slot. Safe on a slot never opened.
void send_slot_close(Socket s, SendSlot& slot);

// Milliseconds on a clock that only moves forward, for deadlines that no
// change of the wall clock can stretch.
long long monotonic_ms();

}  // namespace plat
