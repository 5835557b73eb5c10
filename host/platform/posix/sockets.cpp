// The demo backends' and the metrics listener's sockets on Linux.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform.h"

namespace host {

Socket bind_loopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return kNoSocket;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

Socket bind_address(const std::string& address, int port, std::string& error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return kNoSocket;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return kNoSocket;
    }
    // A restart right after a stop finds the port in TIME_WAIT otherwise.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = std::strerror(errno);
        close(fd);
        return kNoSocket;
    }
    return fd;
}

void limit_send_time(Socket s, int ms) {
    timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool listen_on(Socket s, int backlog, std::string& error) {
    if (listen(static_cast<int>(s), backlog) == 0) return true;
    error = std::strerror(errno);
    return false;
}

AcceptWake::AcceptWake() = default;
AcceptWake::~AcceptWake() = default;

Socket accept_client(Socket listener, AcceptWake&) {
    int fd = static_cast<int>(listener);
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return client;
    if (errno != EINTR && errno != ECONNABORTED) {
        pollfd p{fd, POLLIN, 0};  // e.g. out of descriptors: pause
        poll(&p, 1, 50);
    }
    return kNoSocket;
}

// A shutdown, unlike a close, wakes the thread blocked in accept.
void wake_accept(Socket listener, int, AcceptWake&) { shutdown(static_cast<int>(listener), SHUT_RDWR); }

long receive_within(Socket s, char* buf, size_t len, int ms) {
    int fd = static_cast<int>(s);
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, ms);
    if (ready < 0 && errno == EINTR) return 0;
    if (ready <= 0) return -1;
    ssize_t n = recv(fd, buf, len, 0);
    if (n < 0 && errno == EINTR) return 0;
    if (n <= 0) return -1;
    return static_cast<long>(n);
}

void send_all(Socket s, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(static_cast<int>(s), data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

void shutdown_send(Socket s) { shutdown(static_cast<int>(s), SHUT_WR); }

void close_socket(Socket s) { close(static_cast<int>(s)); }

}  // namespace host
