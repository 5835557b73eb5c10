// Sockets on Winsock.
//
// Every socket is non-blocking for its whole life. A call that has to wait
// sleeps in the kernel on handles until something happens:
//  - transfers and readiness waits on connected sockets are overlapped
//    operations (a zero-byte WSARecv for "readable"), each with the calling
//    thread's own event in its own OVERLAPPED, so the two threads of a
//    connection, one reading and one writing the same socket, never take each
//    other's completion;
//  - accept sleeps in an overlapped AcceptEx the same way;
//  - connect waits on the socket's network events (WSAEventSelect), which is
//    safe there because only one thread ever waits on a connecting socket;
//  - each wait also watches the caller's Wake (a connection's wake-up, the
//    service's stop), whose event ends it; the wait then cancels its own
//    operation and waits for the system to let go of its buffer.
// Winsock's shutdown wakes no blocked call, so socket_shutdown also cancels
// every operation in flight on the socket (CancelIoEx); an operation begun
// after the shutdown fails at once (WSAESHUTDOWN).
// All of this reads completion from the OVERLAPPED and cancels on the socket
// handle, which holds only for providers whose sockets are IFS handles: a
// start refuses any other (socket_unsupported_reason).
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mswsock.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "platform/deadline.h"
#include "platform/win/io_event.h"
#include "platform/win/readiness_probe.h"
#include "platform/winsock_rules.h"

namespace plat {

static_assert(std::is_same_v<Socket, SOCKET>, "plat::Socket must be a Winsock SOCKET");
static_assert(kNoSocket == INVALID_SOCKET, "kNoSocket must be INVALID_SOCKET");
static_assert(sizeof(SendSlot::overlapped) == sizeof(OVERLAPPED) &&
              alignof(OVERLAPPED) <= 8, "SendSlot must hold an OVERLAPPED");
static_assert(winsock::kTcpStateListen == MIB_TCP_STATE_LISTEN &&
              winsock::kTcpStateTimeWait == MIB_TCP_STATE_TIME_WAIT);
static_assert(winsock::kNetDown == WSAENETDOWN && winsock::kNetReset == WSAENETRESET &&
              winsock::kConnAborted == WSAECONNABORTED && winsock::kConnReset == WSAECONNRESET &&
              winsock::kNotConnected == WSAENOTCONN && winsock::kShutDown == WSAESHUTDOWN &&
              winsock::kTimedOut == WSAETIMEDOUT && winsock::kDisconnected == WSAEDISCON);
static_assert(winsock::kIfsHandles == XP1_IFS_HANDLES);

namespace {

thread_local int t_last_error = 0;

int clamp_len(size_t len) {
    return len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
}

HANDLE as_handle(Socket s) { return reinterpret_cast<HANDLE>(s); }

void set_nonblocking(Socket s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

DWORD wait_limit(long long deadline) {
    int left = time_left(deadline);
    return left < 0 ? INFINITE : static_cast<DWORD>(left);
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

// An OVERLAPPED ready to start: completion is read from it, not from its
// event, which may carry a stale signal.
OVERLAPPED started(HANDLE event) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    ov.Internal = STATUS_PENDING;
    return ov;
}

// True when the operation just started is in flight or already finished.
bool under_way(int rc) { return rc == 0 || WSAGetLastError() == WSA_IO_PENDING; }

// The result of a transfer that failed to start. WSAEWOULDBLOCK here means
// too many operations in flight, not "try again": a failure like any other,
// so that no caller loops on it.
long start_failed(bool receiving) {
    int err = WSAGetLastError();
    if (receiving && err == WSAESHUTDOWN) return 0;
    t_last_error = err;
    return -1;
}

void wait_done(OVERLAPPED& ov) {
    while (!HasOverlappedIoCompleted(&ov)) WaitForSingleObject(ov.hEvent, INFINITE);
}

// Cancels the operation and waits until the system has let go of it, so that
// its OVERLAPPED and buffer may go.
void cancel(Socket s, OVERLAPPED& ov) {
    CancelIoEx(as_handle(s), &ov);
    wait_done(ov);
}

// The handles a wait sleeps on: its own first, then what else ends it.
struct Handles {
    HANDLE h[3];
    DWORD count = 0;
    void add(void* handle) {
        if (handle) h[count++] = static_cast<HANDLE>(handle);
    }
};

// Sleeps until the operation finishes (kReady), `woken` is set (kWoken),
// `also` is signalled (kReady) or the deadline passes (kTimeout). An
// operation that has not finished by then is cancelled and collected.
Wait await(Socket s, OVERLAPPED& ov, long long deadline, const Wake* woken,
           void* also = nullptr) {
    Handles w;
    w.add(ov.hEvent);
    w.add(also);
    if (woken) w.add(woken->event());
    for (;;) {
        if (HasOverlappedIoCompleted(&ov)) return Wait::kReady;
        DWORD r = WaitForMultipleObjects(w.count, w.h, FALSE, wait_limit(deadline));
        if (r == WAIT_OBJECT_0) continue;  // finished, or a stale signal
        cancel(s, ov);
        if (woken && woken->is_set()) return Wait::kWoken;
        return r == WAIT_TIMEOUT ? Wait::kTimeout : Wait::kReady;
    }
}

// The bytes an overlapped transfer moved, or -1 with t_last_error set. An
// operation cancelled by a shutdown here fails as a transfer begun after it
// does.
long transferred(Socket s, OVERLAPPED& ov) {
    DWORD bytes = 0;
    DWORD flags = 0;
    if (WSAGetOverlappedResult(s, &ov, &bytes, FALSE, &flags)) return static_cast<long>(bytes);
    int err = WSAGetLastError();
    t_last_error = err == WSA_OPERATION_ABORTED ? WSAESHUTDOWN : err;
    return -1;
}

// Starts the zero-byte receive of a readiness wait.
int start_probe(Socket s, void* overlapped) {
    WSABUF none{0, nullptr};
    DWORD bytes = 0;
    DWORD flags = 0;
    int rc = WSARecv(s, &none, 1, &bytes, &flags, static_cast<OVERLAPPED*>(overlapped), nullptr);
    return under_way(rc) ? 0 : WSAGetLastError();
}

// Sleeps until s has input, an end of stream or an error: a zero-byte
// receive finishes then, and takes nothing from the stream. A receive that
// cannot start gives up (kWoken) unless its error is the connection's own,
// which the caller's next transfer reports: with no completion to come,
// "ready" would have the caller wait again at once, for ever.
Wait wait_input(Socket s, long long deadline, const Wake* woken, void* also,
                ProbeStart start = start_probe) {
    if (woken && woken->is_set()) return Wait::kWoken;
    HANDLE event = io_event();
    if (!event) return Wait::kWoken;  // no way to sleep: give up rather than spin
    OVERLAPPED ov = started(event);
    if (int err = start(s, &ov); err != 0) {
        t_last_error = err;
        return winsock::start_error_means_ready(err) ? Wait::kReady : Wait::kWoken;
    }
    return await(s, ov, deadline, woken, also);
}

// One overlapped send, waited for: the bytes sent, or -1 (a failure, or
// `woken` was set).
long send_overlapped(Socket s, const void* buf, size_t len, const Wake* woken) {
    HANDLE event = io_event();
    if (!event) return -1;
    OVERLAPPED ov = started(event);
    WSABUF from{static_cast<ULONG>(clamp_len(len)), static_cast<char*>(const_cast<void*>(buf))};
    DWORD bytes = 0;
    if (!under_way(WSASend(s, &from, 1, &bytes, 0, &ov, nullptr))) return start_failed(false);
    if (await(s, ov, -1, woken) == Wait::kWoken) return -1;
    return transferred(s, ov);
}

OVERLAPPED& overlapped_of(SendSlot& slot) { return *reinterpret_cast<OVERLAPPED*>(slot.overlapped); }

// The result of the slot's send once it has finished. The caller hands the
// same bytes over again until they are reported sent; other bytes would mean
// it lost track of its stream.
long take_handed_over(Socket s, SendSlot& slot, const void* buf, size_t len) {
    OVERLAPPED& ov = overlapped_of(slot);
    if (!HasOverlappedIoCompleted(&ov)) return kWouldBlock;
    // The system writes the status and then signals the event, not as one
    // step. Once the signal has landed (at once, mostly) the next send may
    // reset the event: a signal landing after that reset would leave the
    // event set through the whole next send, and every wait for room would
    // return at once while the client reads slowly.
    WaitForSingleObject(slot.event, INFINITE);
    slot.busy = false;
    long n = transferred(s, ov);
    if (n >= 0 && (buf != slot.buf || static_cast<size_t>(clamp_len(len)) != slot.len)) {
        t_last_error = WSAEINVAL;
        return -1;
    }
    return n;
}

bool exclusive_use(Socket s) {
    BOOL on = FALSE;
    int len = sizeof on;
    return getsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&on), &len) == 0 &&
           on;
}

// The listening endpoints of one family (GetExtendedTcpTable's
// TCP_TABLE_OWNER_PID_LISTENER); empty when they cannot be read.
std::unique_ptr<unsigned char[]> listener_table(ULONG family) {
    std::unique_ptr<unsigned char[]> table;
    DWORD size = 0;
    // The table may grow between the call that sizes it and the next.
    for (int tries = 0; tries < 4; ++tries) {
        DWORD rc = GetExtendedTcpTable(table.get(), &size, FALSE, family,
                                       TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (rc == NO_ERROR && table) return table;
        if (rc != ERROR_INSUFFICIENT_BUFFER && rc != NO_ERROR) break;
        table.reset(new (std::nothrow) unsigned char[size + sizeof(DWORD)]);
        if (!table) break;
    }
    return nullptr;
}

// Whether a listener of any program holds port on any address, IPv4 or
// IPv6. Tables that cannot be read count as "held": a doubt must never
// share a port.
bool port_has_listener(int port) {
    auto v4 = listener_table(AF_INET);
    auto v6 = listener_table(AF_INET6);
    if (!v4 || !v6) return true;
    const auto* t4 = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(v4.get());
    const auto* t6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(v6.get());
    return winsock::port_has_listener(
        std::span<const MIB_TCPROW_OWNER_PID>(t4->table, t4->dwNumEntries),
        std::span<const MIB_TCP6ROW_OWNER_PID>(t6->table, t6->dwNumEntries), port);
}

void copy_peer_address(const sockaddr_in& peer, char* ip, size_t ip_cap) {
    if (!ip || ip_cap == 0) return;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    size_t n = strnlen(text, ip_cap - 1);
    memcpy(ip, text, n);
    ip[n] = '\0';
}

// One accept; a client that reset while it waited in the backlog is gone,
// and the next one may be waiting already.
Socket accept_next(Socket listener, sockaddr_in& peer) {
    for (;;) {
        int len = sizeof peer;
        Socket s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
        if (s != kNoSocket || WSAGetLastError() != WSAECONNRESET) return s;
    }
}

// Room for the two addresses AcceptEx writes, each with the 16 bytes more
// that it asks for.
constexpr DWORD kAcceptAddressRoom = sizeof(sockaddr_in) + 16;

// Sleeps in one overlapped AcceptEx, into a socket made for it, until a
// client is accepted (its socket) or stop is set or the accept fails
// (kNoSocket, with t_last_error set where there was a failure).
Socket accept_overlapped(Socket listener, sockaddr_in& peer, const Wake* stop) {
    LPFN_ACCEPTEX accept_ex = nullptr;
    GUID id = WSAID_ACCEPTEX;
    DWORD got = 0;
    HANDLE event = io_event();
    if (!event || WSAIoctl(listener, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                           &accept_ex, sizeof accept_ex, &got, nullptr, nullptr) != 0) {
        return kNoSocket;
    }
    Socket s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == kNoSocket) return kNoSocket;
    char addresses[2 * kAcceptAddressRoom];
    OVERLAPPED ov = started(event);
    bool ok = accept_ex(listener, s, addresses, 0, kAcceptAddressRoom, kAcceptAddressRoom,
                        &got, &ov) ||
              WSAGetLastError() == ERROR_IO_PENDING;
    if (!ok) t_last_error = WSAGetLastError();
    ok = ok && await(listener, ov, -1, stop) == Wait::kReady && transferred(listener, ov) >= 0;
    // The accepted socket takes the listener's properties only when told.
    int len = sizeof peer;
    if (!ok || setsockopt(s, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                          reinterpret_cast<const char*>(&listener), sizeof listener) != 0 ||
        getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        closesocket(s);
        return kNoSocket;
    }
    return s;
}

// Sleeps until the connect started on s (its FD_CONNECT tied to this
// thread's event) succeeds or fails, `woken` is set or the deadline passes.
bool connect_finished(Socket s, HANDLE event, long long deadline, const Wake* woken) {
    Handles w;
    w.add(event);
    if (woken) w.add(woken->event());
    for (;;) {
        if (woken && woken->is_set()) return false;
        if (WaitForMultipleObjects(w.count, w.h, FALSE, wait_limit(deadline)) != WAIT_OBJECT_0) {
            return false;  // woken, the time ran out, or the wait failed
        }
        WSANETWORKEVENTS seen{};
        if (WSAEnumNetworkEvents(s, nullptr, &seen) != 0) return false;
        if (seen.lNetworkEvents & FD_CONNECT) return seen.iErrorCode[FD_CONNECT_BIT] == 0;
    }
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

// A layered provider (installed by some VPN and security products) whose
// sockets are not IFS handles keeps the OVERLAPPED's status for itself, and
// CancelIoEx on its socket does not reach the base socket: waits here would
// hang and a stop would never return. Such sockets are refused rather than
// served through the base handle (SIO_BASE_HANDLE): that would bypass the
// product for every transfer while its connects and closes still go
// through it, and no test here could exercise it.
const char* socket_unsupported_reason(Socket s) {
    WSAPROTOCOL_INFOW info{};
    int len = sizeof info;
    if (getsockopt(s, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &len) != 0) {
        return "the provider of TCP sockets cannot be read (SO_PROTOCOL_INFOW)";
    }
    if (winsock::provider_has_ifs_handles(info.dwServiceFlags1)) return nullptr;
    return "TCP sockets come from a layered service provider without IFS handles "
           "(netsh winsock show catalog lists it)";
}

void socket_shutdown(Socket s) {
    if (s == kNoSocket) return;
    shutdown(s, SD_BOTH);
    CancelIoEx(as_handle(s), nullptr);
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

// Every wait that can be woken watches the Wake's event, so setting it is
// the whole wake: the socket is left as it is (a read shutdown would make
// Windows reset the connection when more data arrives).
void socket_wake(Socket, Wake& woken) { woken.set(); }

void socket_set_nodelay(Socket s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// SO_REUSEADDR on Windows would let another socket bind a port in use, even
// one that a listener holds. Exclusive use keeps the port ours; the bind
// below copes with what exclusive use costs at a restart.
void socket_set_reuseaddr(Socket s) {
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}

// An exclusive bind is refused while connections that an earlier listener
// on the port accepted are still settling (TIME_WAIT included, by some
// reports); a bind with no option is not, so it is tried once more that
// way. But a bind with no option to the wildcard address also succeeds
// beside a listener of another program on one specific address (Microsoft's
// table "Using SO_REUSEADDR and SO_EXCLUSIVEADDRUSE"), which would then
// take the connections to that address: so the second try is made only
// while no listener of either family holds the port on any address
// (settling connections are no listeners; a listener that starts between
// the look and the bind is not seen). Its cost: the port is not exclusively
// ours; a socket of this account may still bind 127.0.0.1 or another
// specific address on it, with no option or with SO_REUSEADDR.
bool socket_bind_any(Socket s, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<u_short>(port & 0xffff));
    auto* where = reinterpret_cast<sockaddr*>(&addr);
    if (bind(s, where, sizeof addr) == 0) return true;
    if (WSAGetLastError() != WSAEADDRINUSE || !exclusive_use(s)) return false;
    if (port_has_listener(port & 0xffff)) return false;
    BOOL off = FALSE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&off), sizeof off);
    return bind(s, where, sizeof addr) == 0;
}

bool socket_listen(Socket s, int backlog) { return listen(s, backlog) == 0; }

int socket_local_port(Socket s) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

// Takes a client waiting in the backlog at once; otherwise sleeps in an
// AcceptEx. A shutdown of a listener fails and wakes nothing here: the stop
// Wake ends the wait. A closed listener fails the accept.
Socket socket_accept(Socket listener, char* ip, size_t ip_cap, const Wake* stop) {
    sockaddr_in peer{};
    Socket s = kNoSocket;
    while (s == kNoSocket) {
        if (stop && stop->is_set()) return kNoSocket;
        t_last_error = 0;
        s = accept_next(listener, peer);
        if (s == kNoSocket && WSAGetLastError() != WSAEWOULDBLOCK) return kNoSocket;
        if (s == kNoSocket) s = accept_overlapped(listener, peer, stop);
        // A client that reset before AcceptEx could take it is gone; any
        // other failure, and stop, end the call.
        if (s == kNoSocket && t_last_error != WSAECONNRESET) return kNoSocket;
    }
    // Not inheritable, like every socket of the library, and non-blocking.
    SetHandleInformation(as_handle(s), HANDLE_FLAG_INHERIT, 0);
    set_nonblocking(s);
    copy_peer_address(peer, ip, ip_cap);
    return s;
}

long socket_recv_nowait(Socket s, void* buf, size_t len) {
    return finish_recv(recv(s, static_cast<char*>(buf), clamp_len(len), 0));
}

long socket_send_nowait(Socket s, const void* buf, size_t len) {
    return finish_send(send(s, static_cast<const char*>(buf), clamp_len(len), 0));
}

// Takes what is there at once; otherwise one overlapped receive into buf.
// Cancelled by a shutdown here, it reads as the end of the stream.
long socket_recv(Socket s, void* buf, size_t len, const Wake* woken) {
    if (woken && woken->is_set()) return 0;
    long n = socket_recv_nowait(s, buf, len);
    if (n != kWouldBlock) return n;
    HANDLE event = io_event();
    if (!event) return -1;
    OVERLAPPED ov = started(event);
    WSABUF into{static_cast<ULONG>(clamp_len(len)), static_cast<char*>(buf)};
    DWORD bytes = 0;
    DWORD flags = 0;
    if (!under_way(WSARecv(s, &into, 1, &bytes, &flags, &ov, nullptr))) return start_failed(true);
    if (await(s, ov, -1, woken) == Wait::kWoken) return 0;
    n = transferred(s, ov);
    return n < 0 && t_last_error == WSAESHUTDOWN ? 0 : n;
}

// Sends what fits at once; otherwise one overlapped send of the rest, which
// this call waits for, so buf outlives it. A send that finished without
// moving a byte made no progress (Wine ends a waiting send so when the peer
// half-closes while a receive waits too): it is made again.
long socket_send(Socket s, const void* buf, size_t len, const Wake* woken) {
    for (;;) {
        if (woken && woken->is_set()) return -1;
        long n = socket_send_nowait(s, buf, len);
        if (n != kWouldBlock) return n;
        n = send_overlapped(s, buf, len, woken);
        if (n != 0 || len == 0) return n;
    }
}

// A send after a shutdown here counts with the resets, as EPIPE does on Linux.
bool last_error_was_reset() {
    return t_last_error == WSAECONNRESET || t_last_error == WSAECONNABORTED ||
           t_last_error == WSAENETRESET || t_last_error == WSAESHUTDOWN;
}

Wait wait_readable(Socket s, int timeout_ms, const Wake* woken) {
    return wait_input(s, deadline_after(timeout_ms), woken, nullptr);
}

Wait wait_readable_probed_by(ProbeStart start, Socket s, int timeout_ms, const Wake* woken) {
    return wait_input(s, deadline_after(timeout_ms), woken, nullptr, start);
}

// The listener's shutdown reports nothing here: the stop Wake does.
Wait wait_readable_while_listening(Socket s, Socket, int timeout_ms, const Wake* stop) {
    return wait_input(s, deadline_after(timeout_ms), stop, nullptr);
}

// The slot's event is signalled whenever no send is in flight, so a wait for
// room finds it so at once.
bool send_slot_open(SendSlot& slot) {
    slot = SendSlot{};
    slot.event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return slot.event != nullptr;
}

// A handed-over send that finished without moving a byte made no progress
// (see socket_send): the bytes are handed over again.
long socket_send_handover(Socket s, SendSlot& slot, const void* buf, size_t len) {
    if (slot.busy) {
        long taken = take_handed_over(s, slot, buf, len);
        if (taken != 0 || len == 0) return taken;
    }
    long n = socket_send_nowait(s, buf, len);
    if (n != kWouldBlock) return n;
    OVERLAPPED& ov = overlapped_of(slot);
    ov = started(slot.event);
    ResetEvent(slot.event);
    WSABUF from{static_cast<ULONG>(clamp_len(len)), static_cast<char*>(const_cast<void*>(buf))};
    DWORD bytes = 0;
    if (!under_way(WSASend(s, &from, 1, &bytes, 0, &ov, nullptr))) {
        SetEvent(slot.event);  // nothing in flight after all
        return start_failed(false);
    }
    slot.busy = true;
    slot.buf = buf;
    slot.len = from.len;
    return take_handed_over(s, slot, buf, len);  // it may have finished at once
}

Wait wait_send_room(Socket, SendSlot& slot, int timeout_ms, const Wake* woken) {
    if (woken && woken->is_set()) return Wait::kWoken;
    Handles w;
    w.add(slot.event);
    if (woken) w.add(woken->event());
    DWORD r = WaitForMultipleObjects(w.count, w.h, FALSE, wait_limit(deadline_after(timeout_ms)));
    if (woken && woken->is_set()) return Wait::kWoken;
    return r == WAIT_TIMEOUT ? Wait::kTimeout : Wait::kReady;
}

Wait wait_readable_or_send_room(Socket s, SendSlot& slot, int timeout_ms, const Wake* woken) {
    return wait_input(s, deadline_after(timeout_ms), woken, slot.event);
}

void send_slot_close(Socket s, SendSlot& slot) {
    if (!slot.event) return;
    if (slot.busy && !HasOverlappedIoCompleted(&overlapped_of(slot))) {
        cancel(s, overlapped_of(slot));
    }
    CloseHandle(slot.event);
    slot = SendSlot{};
}

long long monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

// The connect's outcome comes as a network event with its error code, which
// also reports a refused connect on every Windows version. Only this thread
// waits on the socket while it connects.
bool socket_connect_timed(Socket s, const char* ip, int port, int timeout_ms,
                          const Wake* woken) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port & 0xffff));
    addr.sin_addr.s_addr = inet_addr(ip);
    HANDLE event = io_event();
    if (!event || WSAEventSelect(s, event, FD_CONNECT) != 0) return false;
    bool connected = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        connected = connect_finished(s, event, deadline_after(timeout_ms), woken);
    }
    WSAEventSelect(s, nullptr, 0);
    set_nonblocking(s);
    return connected;
}

}  // namespace plat
