#include "metrics_server.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "metrics.h"
#include "service_loop.h"
#include "velkor_proxy.h"

namespace host {
namespace {

// A scraper's request is a line and a few headers; anything bigger or slower
// is not worth the thread's time, which is all the listener has.
constexpr size_t kMaxRequest = 4096;
constexpr int kClientTimeoutMs = 2000;

using Clock = std::chrono::steady_clock;

// The request head, or an empty text when it did not come whole in time.
std::string read_head(Socket client) {
    std::string head;
    auto deadline = Clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequest) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return {};
        char buf[1024];
        size_t want = std::min(sizeof buf, kMaxRequest - head.size());
        long n = receive_within(client, buf, want, static_cast<int>(left.count()));
        if (n < 0) return {};
        head.append(buf, static_cast<size_t>(n));
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

}  // namespace

bool MetricsServer::start(const std::string& address, int port, std::string& error) {
    listener_ = bind_address(address, port, error);
    if (listener_ == kNoSocket) return false;
    if (!listen_on(listener_, 16, error)) {
        close_socket(listener_);
        listener_ = kNoSocket;
        return false;
    }
    port_ = port;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void MetricsServer::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake_accept(listener_, port_);
    thread_.join();
    close_socket(listener_);
    listener_ = kNoSocket;
}

void MetricsServer::serve() {
    while (!stopping_) {
        Socket client = accept_client(listener_);
        if (client == kNoSocket) {
            // Out of descriptors, say: a pause keeps a lasting failure from spinning.
            if (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        limit_send_time(client, kClientTimeoutMs);
        std::string head = read_head(client);
        if (!head.empty() && !stopping_) send_all(client, answer(head));
        shutdown_send(client);
        close_socket(client);
    }
}

}  // namespace host
