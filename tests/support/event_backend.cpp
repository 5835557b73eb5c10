#include "support/event_backend.h"

#include <algorithm>
#include <cstdio>

#include "support/sockets.h"
#include "support/tls_client.h"

namespace loadtest {
namespace {

constexpr size_t kHeadLimit = 4096;
constexpr size_t kChunk = 16384;
// Sends in one turn of a connection, so that endless streams share the loop.
constexpr int kSendsPerTurn = 4;

}  // namespace

uint32_t up_seed(int id) { return 0x10000u + static_cast<uint32_t>(id) * 2u; }
uint32_t down_seed(int id) { return 0x10001u + static_cast<uint32_t>(id) * 2u; }

std::string load_head(int id) {
    return "GET /load/" + std::to_string(id) +
           " HTTP/1.1\r\nHost: load.test\r\nConnection: Upgrade\r\nUpgrade: load\r\n\r\n";
}

struct EventBackend::Conn {
    int fd = -1;
    bool head_done = false;
    bool upload_seen = false;  // the download starts with the upload
    bool watching_out = false;
    std::string head;
    tlsclient::PatternCheck up{0};
    tlsclient::Pattern down{0};
    size_t sent = 0;
    char chunk[kChunk];
    size_t chunk_at = 0;   // next byte of chunk to send
    size_t chunk_len = 0;
};

EventBackend::EventBackend(StreamSizes sizes, const char* scheme)
    : sizes_(sizes), scheme_(scheme) {
    listen_fd_ = sockets::tcp_socket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    // The kernel caps the backlog at net.core.somaxconn; the proxy's
    // connection threads connect all at once.
    if (listen_fd_ < 0 ||
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 4096) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return;
    }
    sockets::set_nonblocking(listen_fd_);
    ready_.watch(listen_fd_, POLLIN, listen_fd_);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

EventBackend::~EventBackend() {
    stopping_ = true;
    if (thread_.joinable()) {
        // The listener reports ready, and the loop finds stopping_ set.
        sockets::wake_listener(listen_fd_, port_);
        thread_.join();
    }
    for (auto& [fd, c] : conns_) sockets::close(fd);
    conns_.clear();
    if (listen_fd_ >= 0) sockets::close(listen_fd_);
}

std::string EventBackend::first_failure() const {
    std::lock_guard<std::mutex> hold(failure_lock_);
    return first_failure_;
}

void EventBackend::fail(const std::string& why) {
    ++failed_;
    std::lock_guard<std::mutex> hold(failure_lock_);
    if (first_failure_.empty()) first_failure_ = why;
}

void EventBackend::run() {
    while (!stopping_) {
        for (const sockets::ReadySet::Ready& r : ready_.wait(100)) {
            if (stopping_) return;
            if (r.key == listen_fd_) {
                accept_all();
            } else {
                auto it = conns_.find(r.key);
                if (it != conns_.end()) on_event(*it->second, r.events);
            }
        }
    }
}

void EventBackend::accept_all() {
    for (;;) {
        int fd = sockets::accept(listen_fd_);
        if (fd < 0) return;  // would block: all taken; anything else: try at the next event
        sockets::set_nonblocking(fd);
        int one = 1;
        sockets::set_option(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        ready_.watch(fd, POLLIN, fd);
        conns_[fd] = std::move(c);
        ++accepted_;
        ++open_;
    }
}

void EventBackend::on_event(Conn& c, short events) {
    if ((events & POLLOUT) && !write_some(c)) return;
    if (events & (POLLIN | POLLERR | POLLHUP)) read_some(c);
}

// Takes bytes of the forwarded head; once it is complete, checks it and
// starts both streams. False when the head is wrong (the connection ended).
bool EventBackend::take_head(Conn& c, const char* p, size_t n) {
    c.head.append(p, n);
    size_t end = c.head.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (c.head.size() <= kHeadLimit) return true;
        fail("no end of head within " + std::to_string(kHeadLimit) + " bytes");
        finish(c, true);
        return false;
    }
    int id = -1;
    if (std::sscanf(c.head.c_str(), "GET /load/%d HTTP/1.1\r\n", &id) != 1 || id < 0) {
        fail("unexpected request line: " + c.head.substr(0, c.head.find('\r')));
        finish(c, true);
        return false;
    }
    std::string want = load_head(id);
    want.resize(want.size() - 2);  // the proxy appends its lines before the empty line
    want += "X-Forwarded-For: 127.0.0.1\r\nX-Forwarded-Proto: " + scheme_ +
            "\r\nX-Forwarded-Host: load.test\r\n\r\n";
    if (c.head.compare(0, end + 4, want) != 0) {
        fail("wrong forwarded head: " + c.head.substr(0, end + 4));
        finish(c, true);
        return false;
    }
    // A new socket's buffer takes the short answer whole.
    if (sockets::send_some(c.fd, kLoadSwitching.data(), kLoadSwitching.size()) !=
        static_cast<long>(kLoadSwitching.size())) {
        fail("the 101 did not go out whole");
        finish(c, true);
        return false;
    }
    c.head_done = true;
    c.up = tlsclient::PatternCheck(up_seed(id));
    c.down = tlsclient::Pattern(down_seed(id));
    std::string rest = c.head.substr(end + 4);
    c.head.clear();
    if (rest.empty()) return true;
    c.up.feed(rest.data(), rest.size());
    bytes_checked_ += rest.size();
    c.upload_seen = true;
    return write_some(c);
}

// One receive. False when the connection ended.
bool EventBackend::read_some(Conn& c) {
    char buf[65536];
    long n = sockets::recv_some(c.fd, buf, sizeof buf);
    if (n < 0 && sockets::would_block()) return true;
    if (n <= 0) {
        finish(c, n < 0);
        return false;
    }
    size_t got = static_cast<size_t>(n);
    if (!c.head_done) return take_head(c, buf, got);
    bool was_ok = c.up.ok();
    c.up.feed(buf, got);
    bytes_checked_ += got;
    if (was_ok && !c.up.ok()) fail("an uploaded byte differs near offset " +
                                   std::to_string(c.up.count()));
    if (c.upload_seen) return true;
    c.upload_seen = true;
    return write_some(c);
}

// Sends download bytes until the socket is full or the stream is complete.
// False when the connection ended.
bool EventBackend::write_some(Conn& c) {
    for (int turn = 0; c.upload_seen && c.sent < sizes_.down; ++turn) {
        if (turn == kSendsPerTurn) {
            watch(c, true);
            return true;
        }
        if (c.chunk_at == c.chunk_len) {
            c.chunk_len = std::min(kChunk, sizes_.down - c.sent);
            c.down.fill(c.chunk, c.chunk_len);
            c.chunk_at = 0;
        }
        long n = sockets::send_some(c.fd, c.chunk + c.chunk_at, c.chunk_len - c.chunk_at);
        if (n < 0 && sockets::would_block()) {
            watch(c, true);
            return true;
        }
        if (n <= 0) {
            finish(c, true);
            return false;
        }
        c.chunk_at += static_cast<size_t>(n);
        c.sent += static_cast<size_t>(n);
        bytes_sent_ += static_cast<size_t>(n);
    }
    watch(c, false);
    return true;
}

void EventBackend::watch(Conn& c, bool want_out) {
    if (c.watching_out == want_out) return;
    c.watching_out = want_out;
    ready_.watch(c.fd, want_out ? POLLIN | POLLOUT : POLLIN, c.fd);
}

// The connection ended (the peer closed, reset, or a check failed): judge it
// and close it. Endless streams end only by the peer, so there a reset is no
// failure; only a wrong byte or head is.
void EventBackend::finish(Conn& c, bool reset) {
    bool endless = sizes_.up == kEndless || sizes_.down == kEndless;
    if (!c.head_done) {
        if (!c.head.empty() || !endless) fail("ended before its head was complete");
    } else if (c.up.ok() && (endless || (!reset && c.up.count() == sizes_.up &&
                                         c.sent == sizes_.down))) {
        ++verified_;
    } else if (c.up.ok()) {
        fail("ended early: " + std::to_string(c.up.count()) + " bytes up, " +
             std::to_string(c.sent) + " down" + (reset ? ", by a reset" : ""));
    }
    int fd = c.fd;
    ready_.forget(fd);
    sockets::close(fd);
    --open_;
    conns_.erase(fd);  // c is gone from here on
}

}  // namespace loadtest
