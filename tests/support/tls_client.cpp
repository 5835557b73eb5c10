#include "support/tls_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <mbedtls/net_sockets.h>  // error codes only
#include <psa/crypto.h>

#include "support/sockets.h"

namespace tlsclient {
namespace {

using Clock = std::chrono::steady_clock;

uint8_t next_byte(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return static_cast<uint8_t>(s >> 24);
}

int bio_send(void* ctx, const unsigned char* buf, size_t len) {
    int fd = *static_cast<int*>(ctx);
    long n = sockets::send_now(fd, buf, len);
    if (n >= 0) return static_cast<int>(n);
    if (sockets::would_block()) return MBEDTLS_ERR_SSL_WANT_WRITE;
    return MBEDTLS_ERR_NET_SEND_FAILED;
}

int bio_recv(void* ctx, unsigned char* buf, size_t len) {
    int fd = *static_cast<int*>(ctx);
    long n = sockets::recv_now(fd, buf, len);
    if (n >= 0) return static_cast<int>(n);
    if (sockets::would_block()) return MBEDTLS_ERR_SSL_WANT_READ;
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

bool would_block(int rc) {
    return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE;
}

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

void Pattern::fill(char* buf, size_t n) {
    for (size_t i = 0; i < n; ++i) buf[i] = static_cast<char>(next_byte(state_));
}

void Pattern::skip(size_t n) {
    for (size_t i = 0; i < n; ++i) next_byte(state_);
}

bool PatternCheck::feed(const char* buf, size_t n) {
    char want[4096];
    while (n > 0 && ok_) {
        size_t k = std::min(n, sizeof want);
        expected_.fill(want, k);
        if (memcmp(want, buf, k) != 0) ok_ = false;
        count_ += k;
        buf += k;
        n -= k;
    }
    return ok_;
}

Client::Client(Options options) : options_(options) {
    psa_crypto_init();
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&drbg_);
    mbedtls_ssl_config_init(&conf_);
    mbedtls_ssl_init(&ssl_);
}

Client::~Client() {
    mbedtls_ssl_free(&ssl_);
    mbedtls_ssl_config_free(&conf_);
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
}

bool Client::wait(short events, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int rc = sockets::wait(fd_.get(), events, ms_left(deadline));
        if (rc != 0) return rc > 0;
        if (ms_left(deadline) == 0) return false;
    }
}

bool Client::connect(int port, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    static const unsigned char kPers[] = "vk-test-client";
    if (mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, kPers, sizeof kPers) != 0 ||
        mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        return false;
    }
    mbedtls_ssl_conf_rng(&conf_, mbedtls_ctr_drbg_random, &drbg_);
    mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_min_tls_version(&conf_, options_.min_version);
    mbedtls_ssl_conf_max_tls_version(&conf_, options_.max_version);
    if (options_.renegotiation) {
        mbedtls_ssl_conf_renegotiation(&conf_, MBEDTLS_SSL_RENEGOTIATION_ENABLED);
        mbedtls_ssl_conf_renegotiation_enforced(&conf_, -1);  // a refusal is no failure
    }
    if (mbedtls_ssl_setup(&ssl_, &conf_) != 0 || mbedtls_ssl_set_hostname(&ssl_, "localhost") != 0) {
        return false;
    }
    fd_ = loopback::connect_to(port);
    if (!fd_.valid()) return false;
    int one = 1;
    sockets::set_option(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    raw_fd_ = fd_.get();
    mbedtls_ssl_set_bio(&ssl_, &raw_fd_, bio_send, bio_recv, nullptr);
    for (;;) {
        handshake_rc_ = mbedtls_ssl_handshake(&ssl_);
        if (handshake_rc_ == 0) return true;
        if (!would_block(handshake_rc_)) return false;
        short ev = handshake_rc_ == MBEDTLS_ERR_SSL_WANT_WRITE ? POLLOUT : POLLIN;
        if (!wait(ev, ms_left(deadline))) return false;
    }
}

bool Client::pump(Transfer& t, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[16384];
    for (;;) {
        bool sending = t.sent < t.out_len;
        bool reading = !t.ended() && t.in.count() < t.in_len;
        if (!t.in.ok()) return false;
        if (!sending && !reading) return true;
        bool progress = false;
        short events = 0;
        if (sending) {
            if (t.chunk_len == 0) {
                t.chunk_len = std::min(t.out_len - t.sent, sizeof t.chunk);
                t.out.fill(t.chunk, t.chunk_len);
            }
            int rc = mbedtls_ssl_write(&ssl_, reinterpret_cast<unsigned char*>(t.chunk),
                                       t.chunk_len);
            if (rc > 0) {
                // A short write takes the front of the chunk; keep the rest.
                memmove(t.chunk, t.chunk + rc, t.chunk_len - static_cast<size_t>(rc));
                t.chunk_len -= static_cast<size_t>(rc);
                t.sent += static_cast<size_t>(rc);
                progress = true;
            } else if (rc == MBEDTLS_ERR_SSL_WANT_WRITE) {
                events |= POLLOUT;
            } else if (rc == MBEDTLS_ERR_SSL_WANT_READ) {
                events |= POLLIN;
            } else {
                return false;
            }
        }
        if (reading) {
            size_t want = std::min(sizeof buf, t.in_len - t.in.count());
            int rc = mbedtls_ssl_read(&ssl_, reinterpret_cast<unsigned char*>(buf), want);
            if (rc > 0) {
                t.in.feed(buf, static_cast<size_t>(rc));
                progress = true;
            } else if (would_block(rc)) {
                events |= rc == MBEDTLS_ERR_SSL_WANT_WRITE ? POLLOUT : POLLIN;
            } else {
                t.end = rc;
                progress = true;
            }
        }
        if (progress || mbedtls_ssl_check_pending(&ssl_)) continue;
        if (ms_left(deadline) == 0) return false;
        wait(events, std::min(ms_left(deadline), 100));
    }
}

bool Client::send(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t done = 0;
    while (done < text.size()) {
        int rc = mbedtls_ssl_write(&ssl_, reinterpret_cast<const unsigned char*>(text.data()) + done,
                                   text.size() - done);
        if (rc > 0) {
            done += static_cast<size_t>(rc);
        } else if (!would_block(rc) ||
                   !wait(rc == MBEDTLS_ERR_SSL_WANT_WRITE ? POLLOUT : POLLIN, ms_left(deadline))) {
            return false;
        }
    }
    return true;
}

std::string Client::read_to_end(int* end, int timeout_ms) { return read(end, timeout_ms, false); }

std::string Client::read_head(int timeout_ms) {
    int end = 1;
    return read(&end, timeout_ms, true);
}

std::string Client::read(int* end, int timeout_ms, bool head_only) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    char buf[16384];
    *end = 1;
    while (!head_only || !got.ends_with("\r\n\r\n")) {
        int rc = mbedtls_ssl_read(&ssl_, reinterpret_cast<unsigned char*>(buf),
                                  head_only ? 1 : sizeof buf);
        if (rc > 0) {
            got.append(buf, static_cast<size_t>(rc));
        } else if (!would_block(rc)) {
            *end = rc;
            return got;
        } else if (!mbedtls_ssl_check_pending(&ssl_) &&
                   !wait(rc == MBEDTLS_ERR_SSL_WANT_WRITE ? POLLOUT : POLLIN, ms_left(deadline))) {
            return got;
        }
    }
    return got;
}

bool Client::start_renegotiation(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int rc = mbedtls_ssl_renegotiate(&ssl_);
        // WANT_READ: the ClientHello is out and the answer is awaited.
        if (rc == 0 || rc == MBEDTLS_ERR_SSL_WANT_READ) return true;
        if (rc == MBEDTLS_ERR_SSL_WAITING_SERVER_HELLO_RENEGO) return true;  // data came first
        if (rc != MBEDTLS_ERR_SSL_WANT_WRITE || !wait(POLLOUT, ms_left(deadline))) return false;
    }
}

void Client::reset() {
    loopback::reset_close(fd_);
    raw_fd_ = -1;
}

}  // namespace tlsclient
