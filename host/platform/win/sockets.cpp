// The demo backends' and the metrics listener's sockets on Windows (Winsock).
#include <winsock2.h>
#include <ws2tcpip.h>

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

Socket accept_client(Socket listener) {
    // Waits in slices, so that the serving loop sees a stop even if the
    // wake-up connection of wake_accept could not be made.
    WSAPOLLFD p{};
    p.fd = as_socket(listener);
    p.events = POLLRDNORM;
    if (WSAPoll(&p, 1, 200) == 0) return kNoSocket;
    SOCKET client = accept(as_socket(listener), nullptr, nullptr);
    if (client != INVALID_SOCKET) return static_cast<Socket>(client);
    int code = WSAGetLastError();
    if (code != WSAEINTR && code != WSAECONNRESET) {
        // e.g. out of buffers: pause before the next try.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(as_socket(listener), &readable);
        timeval wait{0, 50 * 1000};
        select(0, &readable, nullptr, nullptr, &wait);
    }
    return kNoSocket;
}

// Neither shutdown nor a close of the listener reliably wakes an accept on
// every Windows (and Wine) version; a connection of our own does at once.
void wake_accept(Socket, int port) {
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
