#include "demo_backends.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include "client_loop.h"
#include "platform.h"

namespace host {
namespace {

constexpr size_t kMaxHead = 16384;
constexpr size_t kMaxBodyDrained = 1 << 20;
constexpr int kClientTimeoutMs = 2000;

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
    Socket listener = bind_loopback(port_);
    std::string why = "cannot get a socket";
    if (listener == kNoSocket || !listen_on(listener, 32, why)) {
        error = "demo backend \"" + name_ + "\": cannot listen on 127.0.0.1: " + why;
        if (listener != kNoSocket) close_socket(listener);
        return false;
    }
    loop_.start(listener, port_, [this](Socket client) { answer(client); });
    return true;
}

void DemoBackend::answer(Socket client) {
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
    shutdown_send(client);
}

int unused_loopback_port() {
    int port = 0;
    Socket fd = bind_loopback(port);
    if (fd == kNoSocket) return 0;
    close_socket(fd);
    return port;
}

}  // namespace host
