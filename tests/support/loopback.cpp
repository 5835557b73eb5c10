#include "support/loopback.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/sockets.h"

namespace loopback {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback_addr(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for fd to be readable until the deadline; false on time-out.
bool readable_by(int fd, Clock::time_point deadline) {
    for (;;) {
        int rc = sockets::wait(fd, POLLIN, ms_left(deadline));
        if (rc != 0) return true;  // ready, or a failure the next recv reports
        if (ms_left(deadline) == 0) return false;
    }
}

void set_abortive_close(int fd) {
    linger l{1, 0};
    sockets::set_option(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

}  // namespace

int free_port() {
    Fd s(sockets::tcp_socket());
    sockaddr_in a = loopback_addr(0);
    if (!s.valid() || bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    socklen_t len = sizeof a;
    if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
    return ntohs(a.sin_port);
}

int listen_on_loopback(int fd, int backlog) {
    sockaddr_in a = loopback_addr(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return -1;
    }
    return ntohs(a.sin_port);
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (Clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int thread_count() {
    // A sanitizer runtime starts a background thread of its own when the
    // process creates its first thread; create one first so that thread is
    // already there and never counts as one that outlived a test.
    // GoogleTest on Windows starts a watcher thread for each thread the
    // first time that thread touches GoogleTest's thread-local state, and the
    // watcher lives as long as its thread: touch it here, so the calling
    // thread's watcher is counted from the start.
    static const bool warmed_up = [] {
        std::thread([] {}).join();
        { SCOPED_TRACE("thread count"); }
        return true;
    }();
    (void)warmed_up;
    return process::thread_count();
}

bool wait_threads_at_most(int limit, int timeout_ms) {
    return wait_until([&] { return thread_count() <= limit; }, timeout_ms);
}

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) sockets::close(fd_);
    fd_ = fd;
}

Fd connect_to(int port, const char* from) {
    Fd s(sockets::tcp_socket());
    if (!s.valid()) return s;
    sockaddr_in local = loopback_addr(0);
    if (from) inet_pton(AF_INET, from, &local.sin_addr);
    if ((from && bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        sockets::connect(s.get(), loopback_addr(port)) != 0) {
        s.reset();
    }
    return s;
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        long n = sockets::send(fd, data.data(), data.size());
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void shutdown_write(int fd) { sockets::shutdown_write(fd); }

void reset_close(Fd& fd) {
    if (!fd.valid()) return;
    set_abortive_close(fd.get());
    fd.reset();
}

bool abortive_close_resets() {
    static const bool resets = [] {
        Fd listener(sockets::tcp_socket());
        sockaddr_in a = loopback_addr(0);
        socklen_t len = sizeof a;
        if (!listener.valid() || bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listener.get(), 1) != 0 ||
            getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            return true;
        }
        Fd client = connect_to(ntohs(a.sin_port));
        Fd server(sockets::accept(listener.get()));
        if (!client.valid() || !server.valid()) return true;
        reset_close(server);
        char c;
        if (!readable_by(client.get(), Clock::now() + std::chrono::milliseconds(kWaitMs))) return true;
        return sockets::recv(client.get(), &c, 1) < 0;
    }();
    return resets;
}

std::string recv_until(int fd, const std::function<bool(const std::string&)>& done,
                       int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    char buf[16384];
    while (!done(got) && readable_by(fd, deadline)) {
        long n = sockets::recv(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string recv_until(int fd, std::string_view marker, int timeout_ms) {
    return recv_until(
        fd, [&](const std::string& s) { return s.find(marker) != std::string::npos; },
        timeout_ms);
}

std::string recv_all_until_close(int fd, int timeout_ms, bool* closed) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    char buf[16384];
    bool ended = false;
    while (readable_by(fd, deadline)) {
        long n = sockets::recv(fd, buf, sizeof buf);
        if (n <= 0) {
            ended = true;
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    if (closed) *closed = ended;
    return got;
}

bool peer_closed(int fd, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!readable_by(fd, deadline)) return false;
    char c;
    return sockets::recv(fd, &c, 1) <= 0;
}

// ---- TestBackend ----

namespace {
enum Action { kNone = 0, kClose = 1, kReset = 2 };
}

struct TestBackend::Conn {
    int fd = -1;                 // -1 once the connection thread closed it
    std::string received;        // guarded by the backend's lock
    std::atomic<int> action{kNone};
    std::atomic<bool> peer_gone{false};
    std::thread thread;
};

TestBackend::TestBackend() : TestBackend(Script{}) {}

TestBackend::TestBackend(Script script) : script_(std::move(script)) { start_listening(); }

TestBackend::TestBackend(Handler handler) : handler_(std::move(handler)) { start_listening(); }

void TestBackend::start_listening() {
    listen_fd_ = sockets::tcp_socket();
    int one = 1;
    sockets::set_option(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback_addr(0);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 512) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        port_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_main(); });
}

TestBackend::~TestBackend() {
    stopping_ = true;
    if (acceptor_.joinable()) {
        sockets::wake_listener(listen_fd_, port_);  // ends the blocked accept
        acceptor_.join();
    }
    if (listen_fd_ >= 0) sockets::close(listen_fd_);
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& c : conns_) {
            if (c->fd >= 0) sockets::shutdown_and_wake(c->fd);
        }
    }
    for (auto& c : conns_) c->thread.join();
}

void TestBackend::accept_main() {
    for (;;) {
        int fd = sockets::accept(listen_fd_);
        if (fd < 0) return;  // the destructor shut the listener down
        int one = 1;
        sockets::set_option(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) {
            sockets::close(fd);
            return;
        }
        conns_.push_back(std::make_unique<Conn>());
        Conn& c = *conns_.back();
        c.fd = fd;
        ++accepted_;  // before the connection can answer and a test looks
        c.thread = std::thread([this, &c] { serve(c); });
    }
}

// Runs the connection's behaviour, then closes it the way it was asked to:
// abortively when a reset was requested, else in order.
void TestBackend::serve(Conn& c) {
    if (handler_) {
        handler_(c.fd);
    } else if (!script_.close_at_once) {
        record(c);
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (c.action == kReset) set_abortive_close(c.fd);
    sockets::close(c.fd);
    c.fd = -1;
    c.peer_gone = c.action == kNone;
}

void TestBackend::record(Conn& c) {
    char buf[16384];
    bool replied = false;
    for (;;) {
        long n = sockets::recv(c.fd, buf, sizeof buf);
        if (n <= 0 || c.action != kNone) return;
        size_t head_end = std::string::npos;  // in buf, when this read completes the head
        {
            std::lock_guard<std::mutex> hold(lock_);
            size_t before = c.received.size();
            c.received.append(buf, static_cast<size_t>(n));
            size_t end = c.received.find("\r\n\r\n");
            if (!replied && end != std::string::npos) head_end = end + 4 - before;
        }
        std::string_view echo(buf, static_cast<size_t>(n));
        if (head_end != std::string::npos) {
            replied = true;
            if (!script_.reply.empty() && !send_all(c.fd, script_.reply)) return;
            if (script_.close_after_reply && !script_.reply.empty()) return;
            echo.remove_prefix(head_end);
        } else if (!replied) {
            continue;
        }
        if (script_.echo && !echo.empty() && !send_all(c.fd, echo)) return;
    }
}

TestBackend::Conn* TestBackend::conn_at(int i) const {
    if (i < 0 || static_cast<size_t>(i) >= conns_.size()) return nullptr;
    return conns_[static_cast<size_t>(i)].get();
}

bool TestBackend::wait_accepted(int n, int timeout_ms) const {
    return wait_until([&] { return accepted_.load() >= n; }, timeout_ms);
}

std::string TestBackend::received(int i) const {
    std::lock_guard<std::mutex> hold(lock_);
    Conn* c = conn_at(i);
    return c ? c->received : std::string();
}

bool TestBackend::wait_received(int i, size_t n, int timeout_ms) const {
    return wait_until([&] { return received(i).size() >= n; }, timeout_ms);
}

bool TestBackend::wait_received(int i, std::string_view marker, int timeout_ms) const {
    return wait_until([&] { return received(i).find(marker) != std::string::npos; },
                      timeout_ms);
}

bool TestBackend::peer_gone(int i) const {
    std::lock_guard<std::mutex> hold(lock_);
    Conn* c = conn_at(i);
    return c && c->peer_gone;
}

// Marks the action and wakes the connection's thread with a read shutdown;
// that thread then does the close itself, so no descriptor is closed twice.
void TestBackend::request(int i, int action) {
    std::lock_guard<std::mutex> hold(lock_);
    Conn* c = conn_at(i);
    if (!c || c->fd < 0) return;
    c->action = action;
    if (action == kClose) {
        sockets::shutdown_and_wake(c->fd);
    } else {
        sockets::shutdown_read_and_wake(c->fd);
    }
}

void TestBackend::close_connection(int i) { request(i, kClose); }

void TestBackend::reset_connection(int i) { request(i, kReset); }

}  // namespace loopback
