#include "metrics_server.h"

#include <chrono>
#include <string_view>

#include "metrics.h"
#include "service_loop.h"
#include "velkor_proxy.h"

namespace host {
namespace {

// A scraper's request is a line and a few headers; anything bigger or slower
// is not worth the thread's time, which is all the listener has.
constexpr size_t kMaxRequest = 4096;
constexpr int kClientTimeoutMs = 2000;

// The request head, or an empty text when it did not come whole in time.
std::string read_head(Socket client) {
    std::string head;
    auto deadline = Clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequest) {
        if (!read_some(client, head, kMaxRequest, deadline)) return {};
    }
    return head.find("\r\n\r\n") == std::string::npos ? std::string() : head;
}

std::string response(std::string_view status, std::string_view type, std::string_view body) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + std::string(body);
}

std::string metrics_page() {
    MetricsContext ctx{VELKOR_HOST_VERSION, proxy_version(), process_start_time(),
                       proxy_start_time()};
    return render_metrics(runtime_status(), ctx);
}

// The answer to a request head; a query string is ignored.
std::string answer(std::string_view head) {
    std::string_view line = head.substr(0, head.find("\r\n"));
    bool get = line.starts_with("GET ");
    std::string_view target = get ? line.substr(4, line.find(' ', 4) - 4) : "";
    std::string_view path = target.substr(0, target.find('?'));
    if (get && path == "/metrics") return response("200 OK", kMetricsContentType, metrics_page());
    if (get && path == "/status")
        return response("200 OK", "application/json", runtime_status() + "\n");
    return response("404 Not Found", "text/plain; charset=utf-8",
                    "not found: try /metrics or /status\n");
}

void serve_client(Socket client) {
    limit_send_time(client, kClientTimeoutMs);
    std::string head = read_head(client);
    if (!head.empty()) send_all(client, answer(head));
    shutdown_send(client);
}

}  // namespace

bool MetricsServer::start(const std::string& address, int port, std::string& error) {
    Socket listener = bind_address(address, port, error);
    if (listener == kNoSocket) return false;
    if (!listen_on(listener, 16, error)) {
        close_socket(listener);
        return false;
    }
    loop_.start(listener, port, serve_client);
    return true;
}

}  // namespace host
