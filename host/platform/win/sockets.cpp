// The demo backends' and the metrics listener's sockets on Windows (Winsock).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mswsock.h>

#include <climits>

#include "platform.h"

namespace host {
namespace {

// The demo backends start before the library, which starts Winsock for itself
// only: this program holds its own reference for its whole run.
bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET as_socket(Socket s) { return static_cast<SOCKET>(s); }

std::string error_text(int code) {
    char buf[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "Winsock error " + std::to_string(code) : text;
}

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(port));
    return addr;
}

// Not inheritable, as SOCK_CLOEXEC on Linux, and exclusive: no other
// program may bind the same port on top of ours.
SOCKET new_socket() {
    if (!winsock_ready()) return INVALID_SOCKET;
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return s;
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
    return s;
}

}  // namespace

Socket bind_loopback(int& port) {
    SOCKET s = new_socket();
    if (s == INVALID_SOCKET) return kNoSocket;
    sockaddr_in addr = loopback(0);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        return kNoSocket;
    }
    port = ntohs(addr.sin_port);
    return static_cast<Socket>(s);
}

Socket bind_address(const std::string& address, int port, std::string& error) {
    sockaddr_in addr = loopback(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return kNoSocket;
    }
    SOCKET s = new_socket();
    if (s == INVALID_SOCKET) {
        error = error_text(WSAGetLastError());
        return kNoSocket;
    }
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = error_text(WSAGetLastError());
        closesocket(s);
        return kNoSocket;
    }
    return static_cast<Socket>(s);
}

void limit_send_time(Socket s, int ms) {
    DWORD wait = static_cast<DWORD>(ms);
    setsockopt(as_socket(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&wait),
               sizeof wait);
}

bool listen_on(Socket s, int backlog, std::string& error) {
    if (listen(as_socket(s), backlog) == 0) return true;
    error = error_text(WSAGetLastError());
    return false;
}

// Both auto-reset would lose a stop that lands before the wait: the stop's
// event is manual-reset, and stays set.
AcceptWake::AcceptWake()
    : accept_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

AcceptWake::~AcceptWake() {
    if (accept_) CloseHandle(accept_);
    if (stop_) CloseHandle(stop_);
}

namespace {

// Room for each address AcceptEx writes, with the 16 bytes more it asks for.
constexpr DWORD kAddressRoom = sizeof(sockaddr_in) + 16;

LPFN_ACCEPTEX accept_ex_of(SOCKET listener) {
    LPFN_ACCEPTEX fn = nullptr;
    GUID id = WSAID_ACCEPTEX;
    DWORD got = 0;
    if (WSAIoctl(listener, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &fn, sizeof fn,
                 &got, nullptr, nullptr) != 0) {
        return nullptr;
    }
    return fn;
}

// Sleeps until the accept started with ov finishes (true: a client came) or
// stop is set; a stopped accept is cancelled and waited for, so that ov and
// its buffer may go. Completion is read with WSAGetOverlappedResult; a stale
// signal of the auto-reset event only makes it look again.
bool accept_finished(SOCKET listener, OVERLAPPED& ov, HANDLE stop) {
    HANDLE handles[2] = {ov.hEvent, stop};
    DWORD bytes = 0;
    DWORD flags = 0;
    for (;;) {
        if (WSAGetOverlappedResult(listener, &ov, &bytes, FALSE, &flags)) return true;
        if (WSAGetLastError() != WSA_IO_INCOMPLETE) return false;
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) break;
    }
    CancelIoEx(reinterpret_cast<HANDLE>(listener), &ov);
    while (!WSAGetOverlappedResult(listener, &ov, &bytes, TRUE, &flags) &&
           WSAGetLastError() == WSA_IO_INCOMPLETE) {
    }
    return false;
}

// One overlapped AcceptEx into a socket made for it: the client, or
// INVALID_SOCKET with the failure's code in WSAGetLastError.
SOCKET accept_overlapped(SOCKET listener, AcceptWake& wake) {
    LPFN_ACCEPTEX accept_ex = accept_ex_of(listener);
    SOCKET client = accept_ex ? new_socket() : INVALID_SOCKET;
    if (client == INVALID_SOCKET) return client;
    char addresses[2 * kAddressRoom];
    OVERLAPPED ov{};
    ov.hEvent = static_cast<HANDLE>(wake.accept_event());
    DWORD got = 0;
    bool ok = accept_ex(listener, client, addresses, 0, kAddressRoom, kAddressRoom, &got, &ov) ||
              WSAGetLastError() == ERROR_IO_PENDING;
    // The accepted socket takes the listener's properties only when told.
    if (ok && accept_finished(listener, ov, static_cast<HANDLE>(wake.stop_event())) &&
        setsockopt(client, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                   reinterpret_cast<const char*>(&listener), sizeof listener) == 0) {
        return client;
    }
    int code = WSAGetLastError();
    closesocket(client);
    WSASetLastError(code);
    return INVALID_SOCKET;
}

}  // namespace

// Sleeps in the kernel until a client comes or the stop's event is set.
// Without the events (the system gave none) a plain accept waits, and
// wake_accept ends it with a connection of its own.
Socket accept_client(Socket listener, AcceptWake& wake) {
    SOCKET l = as_socket(listener);
    HANDLE stop = static_cast<HANDLE>(wake.stop_event());
    bool sleeps = wake.accept_event() && stop;
    if (sleeps && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return kNoSocket;
    SOCKET client = sleeps ? accept_overlapped(l, wake) : accept(l, nullptr, nullptr);
    if (client != INVALID_SOCKET) return static_cast<Socket>(client);
    int code = WSAGetLastError();
    if (code != WSAEINTR && code != WSAECONNRESET && code != WSA_OPERATION_ABORTED &&
        code != NO_ERROR) {
        // e.g. out of buffers: pause before the next try, or until the stop.
        if (stop) WaitForSingleObject(stop, 50);
        else Sleep(50);
    }
    return kNoSocket;
}

// The stop's event ends the wait; without it, a connection of our own does.
void wake_accept(Socket, int port, AcceptWake& wake) {
    if (wake.stop_event()) {
        SetEvent(static_cast<HANDLE>(wake.stop_event()));
        if (wake.accept_event()) return;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    sockaddr_in addr = loopback(port);
    connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    closesocket(s);
}

long receive_within(Socket s, char* buf, size_t len, int ms) {
    WSAPOLLFD p{};
    p.fd = as_socket(s);
    p.events = POLLRDNORM;
    int ready = WSAPoll(&p, 1, ms);
    if (ready <= 0) return -1;
    int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    int n = recv(as_socket(s), buf, want, 0);
    if (n <= 0) return -1;
    return n;
}

void send_all(Socket s, std::string_view data) {
    while (!data.empty()) {
        int chunk = data.size() > INT_MAX ? INT_MAX : static_cast<int>(data.size());
        int n = send(as_socket(s), data.data(), chunk, 0);
        if (n <= 0) return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

void shutdown_send(Socket s) { shutdown(as_socket(s), SD_SEND); }

void close_socket(Socket s) { closesocket(as_socket(s)); }

}  // namespace host
