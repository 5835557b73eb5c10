#include "support/any_client.h"

#include <chrono>

#include <mbedtls/ssl.h>

#include "support/sockets.h"

namespace anyclient {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int rc = sockets::wait(fd, events, ms_left(deadline));
        if (rc != 0) return rc > 0;
        if (ms_left(deadline) == 0) return false;
    }
}

}  // namespace

Client::Client(bool tls, int port) : tls_(tls) {
    if (tls_) {
        secure_ = std::make_unique<tlsclient::Client>();
        connected_ = secure_->connect(port);
    } else {
        plain_ = loopback::connect_to(port);
        connected_ = plain_.valid();
    }
}

int Client::fd() const { return tls_ ? secure_->fd() : plain_.get(); }

bool Client::send(std::string_view text) {
    return tls_ ? secure_->send(std::string(text)) : loopback::send_all(plain_.get(), text);
}

std::string Client::recv_until(std::string_view marker, int timeout_ms) {
    return read_until(marker, timeout_ms, 16384);
}

std::string Client::recv_head(int timeout_ms) { return read_until("\r\n\r\n", timeout_ms, 1); }

std::string Client::read_until(std::string_view marker, int timeout_ms, size_t chunk) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    char buf[16384];
    if (!tls_) {
        while (got.find(marker) == std::string::npos && wait_for(plain_.get(), POLLIN, deadline)) {
            long n = sockets::recv(plain_.get(), buf, chunk);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    while (got.find(marker) == std::string::npos) {
        int rc = mbedtls_ssl_read(&secure_->ssl(), reinterpret_cast<unsigned char*>(buf), chunk);
        if (rc > 0) {
            got.append(buf, static_cast<size_t>(rc));
        } else if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            break;
        } else if (!mbedtls_ssl_check_pending(&secure_->ssl()) &&
                   !wait_for(fd(), rc == MBEDTLS_ERR_SSL_WANT_READ ? POLLIN : POLLOUT, deadline)) {
            break;
        }
    }
    return got;
}

std::string Client::recv_to_end(bool* ended, int timeout_ms) {
    if (!tls_) return loopback::recv_all_until_close(plain_.get(), timeout_ms, ended);
    int end = 1;
    std::string got = secure_->read_to_end(&end, timeout_ms);
    *ended = end != 1;
    return got;
}

std::string Client::send_while_reading(size_t bytes, std::string_view marker, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    static const std::string filler(16384, 'u');
    std::string got;
    char buf[16384];
    size_t sent = 0;
    bool sending = true;
    while (got.find(marker) == std::string::npos && Clock::now() < deadline) {
        if (sending && sent < bytes) {
            size_t n = std::min(filler.size(), bytes - sent);
            long k = tls_ ? mbedtls_ssl_write(&secure_->ssl(),
                                              reinterpret_cast<const unsigned char*>(filler.data()), n)
                          : sockets::send_now(fd(), filler.data(), n);
            if (k > 0) sent += static_cast<size_t>(k);
            bool blocked = k == MBEDTLS_ERR_SSL_WANT_WRITE || k == MBEDTLS_ERR_SSL_WANT_READ ||
                           (!tls_ && k < 0 && sockets::would_block());
            if (k <= 0 && !blocked) sending = false;
        }
        long r = tls_ ? mbedtls_ssl_read(&secure_->ssl(), reinterpret_cast<unsigned char*>(buf),
                                         sizeof buf)
                      : sockets::recv_now(fd(), buf, sizeof buf);
        if (r > 0) {
            got.append(buf, static_cast<size_t>(r));
        } else if (r == 0 || (tls_ && r != MBEDTLS_ERR_SSL_WANT_READ &&
                              r != MBEDTLS_ERR_SSL_WANT_WRITE) ||
                   (!tls_ && !sockets::would_block())) {
            break;
        } else if (!sending || sent == bytes) {
            wait_for(fd(), POLLIN, deadline);
        } else {
            wait_for(fd(), POLLIN | POLLOUT, std::min(deadline, Clock::now() + std::chrono::milliseconds(10)));
        }
    }
    return got;
}

Ending Client::read_to_end(int timeout_ms) {
    constexpr size_t kKept = 64u << 10;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Ending e;
    char buf[16384];
    for (;;) {
        long n;
        if (tls_) {
            int rc = mbedtls_ssl_read(&secure_->ssl(), reinterpret_cast<unsigned char*>(buf),
                                      sizeof buf);
            if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) {
                if (mbedtls_ssl_check_pending(&secure_->ssl())) continue;
                if (!wait_for(fd(), rc == MBEDTLS_ERR_SSL_WANT_READ ? POLLIN : POLLOUT, deadline)) {
                    return e;
                }
                continue;
            }
            if (rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) e.how = End::kOrderly;
            else if (rc <= 0) e.how = End::kCut;
            n = rc;
        } else {
            if (!wait_for(fd(), POLLIN, deadline)) return e;
            n = sockets::recv(fd(), buf, sizeof buf);
            if (n == 0) e.how = End::kOrderly;
            else if (n < 0) e.how = End::kCut;
        }
        if (n <= 0) return e;
        e.bytes += static_cast<size_t>(n);
        if (e.text.size() < kKept) e.text.append(buf, std::min(static_cast<size_t>(n), kKept - e.text.size()));
    }
}

bool Client::stays_quiet(int timeout_ms) {
    bool ended = false;
    std::string got = recv_to_end(&ended, timeout_ms);
    return got.empty() && !ended;
}

bool Client::upload(uint32_t seed, size_t bytes, int timeout_ms) {
    if (tls_) {
        tlsclient::Transfer t(seed, bytes, 0, 0);
        return secure_->pump(t, timeout_ms);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    tlsclient::Pattern pattern(seed);
    char buf[65536];
    size_t sent = 0;
    while (sent < bytes) {
        size_t n = std::min(sizeof buf, bytes - sent);
        pattern.fill(buf, n);
        for (size_t at = 0; at < n;) {
            long k = sockets::send_now(plain_.get(), buf + at, n - at);
            if (k > 0) {
                at += static_cast<size_t>(k);
            } else if (k < 0 && sockets::would_block()) {
                if (!wait_for(plain_.get(), POLLOUT, deadline)) return false;
            } else if (k < 0) {
                return false;
            }
        }
        sent += n;
    }
    return true;
}

size_t Client::download(uint32_t seed, size_t bytes, int timeout_ms) {
    if (tls_) {
        tlsclient::Transfer t(0, 0, seed, bytes);
        secure_->pump(t, timeout_ms);
        return t.in.ok() ? t.in.count() : 0;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    tlsclient::PatternCheck check(seed);
    char buf[65536];
    while (check.count() < bytes && wait_for(plain_.get(), POLLIN, deadline)) {
        long n = sockets::recv(plain_.get(), buf, std::min(sizeof buf, bytes - check.count()));
        if (n <= 0 || !check.feed(buf, static_cast<size_t>(n))) break;
    }
    return check.ok() ? check.count() : 0;
}

void Client::half_close() { sockets::shutdown_write(fd()); }

void Client::reset() {
    if (tls_) {
        secure_->reset();
    } else {
        loopback::reset_close(plain_);
    }
}

}  // namespace anyclient
