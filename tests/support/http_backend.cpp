#include "support/http_backend.h"

#include <cstdlib>

#include "support/sockets.h"

namespace httptest {
namespace {

// The connection's bytes as they arrive; reads more when asked for more.
struct Input {
    int fd;
    std::string buf;
    std::string* log;
    std::mutex* lock;

    bool more() {
        char tmp[16384];
        long n = sockets::recv(fd, tmp, sizeof tmp);
        if (n <= 0) return false;
        std::lock_guard<std::mutex> hold(*lock);
        log->append(tmp, static_cast<size_t>(n));
        buf.append(tmp, static_cast<size_t>(n));
        return true;
    }
    // Takes bytes up to and including `marker`.
    bool take_through(std::string_view marker, std::string* out) {
        size_t at;
        while ((at = buf.find(marker)) == std::string::npos) {
            if (!more()) return false;
        }
        if (out) *out = buf.substr(0, at + marker.size());
        buf.erase(0, at + marker.size());
        return true;
    }
    bool take(size_t n) {
        while (buf.size() < n) {
            if (!more()) return false;
        }
        buf.erase(0, n);
        return true;
    }
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// The value of the first field `name` (lower case) in the head, or "".
std::string field(const std::string& head, std::string_view name) {
    const std::string l = lower(head);
    size_t at = l.find("\r\n" + std::string(name) + ":");
    if (at == std::string::npos) return "";
    size_t begin = head.find_first_not_of(' ', at + 3 + name.size());
    return head.substr(begin, head.find("\r\n", begin) - begin);
}

// Reads the body the head announces; returns its length, or -1 when the
// connection ended first.
long read_body(Input& in, const std::string& head) {
    if (lower(field(head, "transfer-encoding")) == "chunked") {
        long total = 0;
        for (;;) {
            std::string line;
            if (!in.take_through("\r\n", &line)) return -1;
            long size = std::strtol(line.c_str(), nullptr, 16);
            if (size == 0) break;
            if (!in.take(static_cast<size_t>(size) + 2)) return -1;
            total += size;
        }
        for (std::string line; line != "\r\n";) {  // the trailer section
            if (!in.take_through("\r\n", &line)) return -1;
        }
        return total;
    }
    long length = std::atol(field(head, "content-length").c_str());
    return in.take(static_cast<size_t>(length)) ? length : -1;
}

bool send_text(int fd, std::string_view text) { return loopback::send_all(fd, text); }

}  // namespace

std::string body_of(std::string_view name, std::string_view method, std::string_view target,
                    size_t body_bytes, std::string_view xff) {
    return std::string(name) + " " + std::string(method) + " " + std::string(target) +
           " body=" + std::to_string(body_bytes) + " xff=" + std::string(xff);
}

std::string answer_of(std::string_view name, std::string_view method, std::string_view target,
                      size_t body_bytes, std::string_view xff) {
    std::string body = body_of(name, method, target, body_bytes, xff);
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

HttpBackend::HttpBackend(std::string name)
    : name_(std::move(name)),
      server_(std::make_unique<loopback::TestBackend>([this](int fd) { serve(fd); })) {}

std::string HttpBackend::received(int i) const {
    std::lock_guard<std::mutex> hold(lock_);
    return i < static_cast<int>(received_.size()) ? received_[static_cast<size_t>(i)] : "";
}

bool HttpBackend::wait_received(int i, std::string_view marker, int timeout_ms) const {
    return loopback::wait_until(
        [&] { return received(i).find(marker) != std::string::npos; }, timeout_ms);
}

void HttpBackend::serve(int fd) {
    Input in{fd, "", nullptr, &lock_};
    {
        std::lock_guard<std::mutex> hold(lock_);
        received_.emplace_back();
        in.log = &received_.back();
    }
    for (;;) {
        std::string head;
        if (!in.take_through("\r\n\r\n", &head)) return;
        const std::string method = head.substr(0, head.find(' '));
        const size_t target_at = method.size() + 1;
        const std::string target = head.substr(target_at, head.find(' ', target_at) - target_at);
        if (target == "/early") {
            send_text(fd, "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n");
            while (in.more()) {
            }
            return;
        }
        if (lower(field(head, "expect")) == "100-continue") send_text(fd, "HTTP/1.1 100 Continue\r\n\r\n");
        long body = read_body(in, head);
        if (body < 0) return;
        std::string answer;
        if (method == "HEAD") {
            answer = "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n";
        } else if (target == "/status/204") {
            answer = "HTTP/1.1 204 No Content\r\n\r\n";
        } else if (target == "/status/304") {
            answer = "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n";
        } else if (target.starts_with("/chunked")) {
            answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\n" + name_.substr(0, 3) +
                     "\r\n2\r\nok\r\n0\r\nX-Trailer: t\r\n\r\n";
        } else if (target == "/ws" && lower(field(head, "upgrade")) == "websocket") {
            if (!send_text(fd, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                               "Connection: Upgrade\r\n\r\n" + in.buf)) {
                return;
            }
            char tmp[16384];
            for (long n; (n = sockets::recv(fd, tmp, sizeof tmp)) > 0;) {
                if (!send_text(fd, std::string_view(tmp, static_cast<size_t>(n)))) return;
            }
            return;
        } else if (target == "/ws") {
            answer = "HTTP/1.1 426 Upgrade Required\r\nContent-Length: 0\r\n\r\n";
        } else {
            answer = answer_of(name_, method, target, static_cast<size_t>(body),
                               field(head, "x-forwarded-for"));
        }
        if (!send_text(fd, answer)) return;
    }
}

}  // namespace httptest
