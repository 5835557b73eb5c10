#include "demo_backends.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace host {
namespace {

constexpr size_t kMaxHead = 16384;
constexpr size_t kMaxBodyDrained = 1 << 20;
constexpr int kClientTimeoutMs = 2000;

using Clock = std::chrono::steady_clock;

// A socket bound to 127.0.0.1 with a port the system picks, or -1.
int bind_loopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// Reads what arrives before the deadline, appending to out up to limit
// bytes. Returns false on time-out, close or error.
bool read_some(int fd, std::string& out, size_t limit, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    char buf[4096];
    size_t want = std::min(sizeof buf, limit - out.size());
    ssize_t n = recv(fd, buf, want, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

void send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The value of the first header line called name (any letter case) in a
// head, blanks trimmed; "(none)" when there is no such line.
std::string header_value(std::string_view head, std::string_view name) {
    size_t at = head.find("\r\n");
    while (at != std::string_view::npos) {
        size_t start = at + 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos || end == start) break;
        std::string_view line = head.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && equal_nocase(line.substr(0, colon), name)) {
            std::string_view v = line.substr(colon + 1);
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
            return std::string(v);
        }
        at = end;
    }
    return "(none)";
}

std::string response_for(const std::string& name, std::string_view head) {
    std::string_view request_line = head.substr(0, head.find("\r\n"));
    std::string body = "demo backend \"" + name + "\" answered\n";
    body += "request: " + std::string(request_line) + "\n";
    for (const char* h : {"Host", "X-Forwarded-For", "X-Forwarded-Proto", "X-Forwarded-Host"})
        body += std::string(h) + ": " + header_value(head, h) + "\n";
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
           "X-Demo-Backend: " + name + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

bool DemoBackend::start(std::string name, std::string& error) {
    name_ = std::move(name);
    listen_fd_ = bind_loopback(port_);
    if (listen_fd_ < 0 || listen(listen_fd_, 32) != 0) {
        error = "demo backend \"" + name_ + "\": cannot listen on 127.0.0.1: " +
                std::strerror(errno);
        if (listen_fd_ >= 0) close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void DemoBackend::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    // A shutdown, unlike a close, wakes the thread blocked in accept.
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
    listen_fd_ = -1;
}

void DemoBackend::serve() {
    while (!stopping_) {
        int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (stopping_) break;
            pollfd p{listen_fd_, POLLIN, 0};  // e.g. out of descriptors: pause
            poll(&p, 1, 50);
            continue;
        }
        answer(client);
        close(client);
    }
}

void DemoBackend::answer(int client) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
    std::string in;
    size_t head_end = std::string::npos;
    while (head_end == std::string::npos && in.size() < kMaxHead) {
        if (!read_some(client, in, kMaxHead, deadline)) return;
        head_end = in.find("\r\n\r\n");
    }
    if (head_end == std::string::npos) return;
    const std::string head = in.substr(0, head_end + 2);

    // Read a declared body before answering: closing with unread bytes would
    // reset the connection and could destroy the answer on its way.
    size_t body_len = 0;
    std::string declared = header_value(head, "Content-Length");
    if (declared != "(none)") body_len = std::strtoul(declared.c_str(), nullptr, 10);
    size_t want = head_end + 4 + std::min(body_len, kMaxBodyDrained);
    while (in.size() < want) {
        if (!read_some(client, in, want, deadline)) break;
    }
    send_all(client, response_for(name_, head));
    shutdown(client, SHUT_WR);
}

int unused_loopback_port() {
    int port = 0;
    int fd = bind_loopback(port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

}  // namespace host
