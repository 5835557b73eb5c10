#include "support/load_clients.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>  // error codes only
#include <mbedtls/ssl.h>
#include <psa/crypto.h>

#include "support/sockets.h"
#include "support/tls_client.h"

namespace loadtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 16384;
// Transfers per direction in one step of a connection. Endless streams would
// otherwise keep one connection's loop going while all others wait.
constexpr int kTransfersPerStep = 4;

enum class Phase { kConnecting, kHandshake, kHead, kBarrier, kTransfer, kEnded };

const char* phase_name(Phase p) {
    switch (p) {
    case Phase::kConnecting: return "connecting";
    case Phase::kHandshake: return "handshake";
    case Phase::kHead: return "sending head";
    case Phase::kBarrier: return "at the barrier";
    case Phase::kTransfer: return "transferring";
    case Phase::kEnded: return "ended";
    }
    return "?";
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool would_block(int rc) {
    return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE;
}

// A failure is reported as the plain send or receive failure: only the
// transfer phase looks at it, and there any failure ends the connection.
int bio_send(void* ctx, const unsigned char* buf, size_t len) {
    long n = sockets::send_some(*static_cast<int*>(ctx), buf, len);
    if (n >= 0) return static_cast<int>(n);
    return sockets::would_block() ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
}

int bio_recv(void* ctx, unsigned char* buf, size_t len) {
    long n = sockets::recv_some(*static_cast<int*>(ctx), buf, len);
    if (n >= 0) return static_cast<int>(n);
    return sockets::would_block() ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
}

std::string tls_error(const char* what, int rc) {
    char text[64];
    std::snprintf(text, sizeof text, "%s -0x%04x", what, static_cast<unsigned>(-rc));
    return text;
}

}  // namespace

// The client side's shared TLS configuration: one generator for all
// sessions, which is safe because one thread drives them all.
struct LoadClients::Tls {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    bool ready = false;

    Tls() {
        psa_crypto_init();
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_ssl_config_init(&conf);
        static const unsigned char kPers[] = "vk-load-client";
        ready = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, kPers,
                                      sizeof kPers) == 0 &&
                mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_CLIENT,
                                            MBEDTLS_SSL_TRANSPORT_STREAM,
                                            MBEDTLS_SSL_PRESET_DEFAULT) == 0;
        mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &drbg);
        mbedtls_ssl_conf_authmode(&conf, MBEDTLS_SSL_VERIFY_NONE);
    }
    ~Tls() {
        mbedtls_ssl_config_free(&conf);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

struct LoadClients::Conn {
    int id = 0;
    int fd = -1;
    Phase phase = Phase::kConnecting;
    std::unique_ptr<mbedtls_ssl_context> ssl;  // TLS only
    std::string head;
    size_t head_sent = 0;
    tlsclient::Pattern out{0};
    size_t sent = 0;
    char chunk[kChunk];
    size_t chunk_at = 0;
    size_t chunk_len = 0;
    size_t switching_seen = 0;  // bytes of the 101 that comes before the stream
    tlsclient::PatternCheck in{0};
    bool want_in = false;
    bool want_out = false;
    short watching = 0;

    ~Conn() {
        if (ssl) mbedtls_ssl_free(ssl.get());
        if (fd >= 0) sockets::close(fd);
    }
};

std::string ClientReport::summary() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "opened %d, completed %d, ended by the proxy %d, failed %d%s; "
                  "%zu bytes sent, %zu checked",
                  opened, completed, ended_by_peer, failed, timed_out ? ", TIMED OUT" : "",
                  bytes_sent, bytes_checked);
    return text + (first_failure.empty() ? "" : "; first failure: " + first_failure);
}

LoadClients::LoadClients(ClientPlan plan) : plan_(std::move(plan)) {
    if (plan_.tls) tls_ = std::make_unique<Tls>();
}

LoadClients::~LoadClients() {
    conns_.clear();  // closes what is still open
}

ClientReport LoadClients::run() {
    const auto begin = Clock::now();
    const auto deadline = begin + std::chrono::milliseconds(plan_.timeout_ms);
    auto release_time = begin;
    if (tls_ && !tls_->ready) {
        report_.failed = plan_.connections;
        report_.first_failure = "client set-up failed";
        return report_;
    }
    conns_.reserve(static_cast<size_t>(plan_.connections));
    while (live_ > 0 || next_id_ < plan_.connections) {
        if (Clock::now() >= deadline) {
            report_.timed_out = true;
            break;
        }
        open_more();
        if (!released_ && next_id_ == plan_.connections && opening_ == 0 &&
            (report_.failed > 0 || !plan_.all_relaying || plan_.all_relaying())) {
            report_.open_seconds = seconds_since(begin);
            release_time = Clock::now();
            release_all();
        }
        bool pacing = next_id_ < plan_.connections || !released_;
        for (const sockets::ReadySet::Ready& r : ready_.wait(pacing ? 2 : 100)) {
            Conn& c = *conns_[static_cast<size_t>(r.key)];
            if (c.phase != Phase::kEnded) step(c);
        }
    }
    if (report_.timed_out) {
        int at[6] = {};
        for (auto& c : conns_) ++at[static_cast<int>(c->phase)];
        std::string where;
        for (int p = 0; p < 6; ++p) {
            if (at[p] && p != static_cast<int>(Phase::kEnded)) {
                where += std::to_string(at[p]) + " " + phase_name(static_cast<Phase>(p)) + "; ";
            }
        }
        if (report_.first_failure.empty()) report_.first_failure = "time ran out: " + where;
    }
    report_.transfer_seconds = released_ ? seconds_since(release_time) : 0;
    report_.bytes_checked = bytes_checked_.load();
    conns_.clear();
    live_ = 0;
    return report_;
}

void LoadClients::open_more() {
    while (next_id_ < plan_.connections) {
        int accepted = plan_.proxy_accepted ? plan_.proxy_accepted() : next_id_;
        if (next_id_ - accepted >= plan_.window) return;
        auto c = std::make_unique<Conn>();
        c->id = next_id_++;
        c->head = load_head(c->id);
        c->out = tlsclient::Pattern(up_seed(c->id));
        c->in = tlsclient::PatternCheck(down_seed(c->id));
        Conn& conn = *c;
        conns_.push_back(std::move(c));
        ++live_;
        ++opening_;
        conn.fd = sockets::tcp_socket();
        if (conn.fd < 0) {
            end(conn, "socket: " + sockets::error_text(sockets::last_error()));
            continue;
        }
        sockets::set_nonblocking(conn.fd);
        int one = 1;
        sockets::set_option(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(plan_.port));
        if (sockets::connect(conn.fd, a) != 0 && !sockets::would_block()) {
            end(conn, "connect: " + sockets::error_text(sockets::last_error()));
            continue;
        }
        step(conn);
    }
}

// Moves the connection on as far as it goes without waiting, then watches
// its socket for whatever it waits for.
void LoadClients::step(Conn& c) {
    c.want_in = c.want_out = false;
    if (c.phase == Phase::kConnecting && !connect_done(c)) return;
    if (c.phase == Phase::kHandshake && !handshake(c)) return;
    if (!write_step(c) || !read_step(c)) return;
    bool finite = plan_.sizes.up != kEndless && plan_.sizes.down != kEndless;
    if (finite && c.phase == Phase::kTransfer && c.sent == plan_.sizes.up &&
        c.in.count() == plan_.sizes.down) {
        if (c.ssl) mbedtls_ssl_close_notify(c.ssl.get());  // one try; the close follows
        ++report_.completed;
        end(c, "");
        return;
    }
    watch(c);
}

// True once connected (the phase moves on); false while waiting or ended.
bool LoadClients::connect_done(Conn& c) {
    int err = sockets::connect_result(c.fd);
    if (err == 0) {
        c.phase = plan_.tls ? Phase::kHandshake : Phase::kHead;
        if (c.ssl || !plan_.tls) return true;
        c.ssl = std::make_unique<mbedtls_ssl_context>();
        mbedtls_ssl_init(c.ssl.get());
        if (mbedtls_ssl_setup(c.ssl.get(), &tls_->conf) != 0 ||
            mbedtls_ssl_set_hostname(c.ssl.get(), "localhost") != 0) {
            end(c, "TLS session set-up failed");
            return false;
        }
        mbedtls_ssl_set_bio(c.ssl.get(), &c.fd, bio_send, bio_recv, nullptr);
        return true;
    }
    if (err > 0) {
        end(c, "connect: " + sockets::error_text(err));
        return false;
    }
    c.want_out = true;
    watch(c);
    return false;
}

bool LoadClients::handshake(Conn& c) {
    int rc = mbedtls_ssl_handshake(c.ssl.get());
    if (rc == 0) {
        c.phase = Phase::kHead;
        return true;
    }
    if (!would_block(rc)) {
        end(c, tls_error("handshake", rc));
        return false;
    }
    (rc == MBEDTLS_ERR_SSL_WANT_READ ? c.want_in : c.want_out) = true;
    watch(c);
    return false;
}

// Sends the head, then (after the barrier) the upload, until the socket is
// full. False when the connection ended.
bool LoadClients::write_step(Conn& c) {
    for (int round = 0;; ++round) {
        if (round == kTransfersPerStep) {
            c.want_out = true;  // more to send: come back when the socket takes it
            return true;
        }
        const char* p;
        size_t n;
        if (c.phase == Phase::kHead) {
            p = c.head.data() + c.head_sent;
            n = c.head.size() - c.head_sent;
        } else if (c.phase == Phase::kTransfer && c.sent < plan_.sizes.up) {
            if (c.chunk_at == c.chunk_len) {
                c.chunk_len = std::min(kChunk, plan_.sizes.up - c.sent);
                c.out.fill(c.chunk, c.chunk_len);
                c.chunk_at = 0;
            }
            p = c.chunk + c.chunk_at;
            n = c.chunk_len - c.chunk_at;
        } else {
            return true;
        }
        long done;
        if (c.ssl) {
            int rc = mbedtls_ssl_write(c.ssl.get(), reinterpret_cast<const unsigned char*>(p), n);
            if (would_block(rc)) {
                (rc == MBEDTLS_ERR_SSL_WANT_READ ? c.want_in : c.want_out) = true;
                return true;
            }
            done = rc;
        } else {
            long k = sockets::send_some(c.fd, p, n);
            if (k < 0 && sockets::would_block()) {
                c.want_out = true;
                return true;
            }
            done = k;
        }
        if (done <= 0) {
            bool endless = plan_.sizes.up == kEndless || plan_.sizes.down == kEndless;
            if (endless && c.phase == Phase::kTransfer) {
                ++report_.ended_by_peer;
                end(c, "");
            } else {
                end(c, c.ssl ? tls_error("write", static_cast<int>(done))
                             : "send: " + sockets::error_text(sockets::last_error()));
            }
            return false;
        }
        size_t k = static_cast<size_t>(done);
        if (c.phase == Phase::kHead) {
            c.head_sent += k;
            if (c.head_sent == c.head.size()) {
                c.phase = Phase::kBarrier;
                --opening_;
                ++report_.opened;
            }
        } else {
            c.chunk_at += k;
            c.sent += k;
            report_.bytes_sent += k;
        }
    }
}

// Reads and checks what arrived. False when the connection ended.
bool LoadClients::read_step(Conn& c) {
    char buf[65536];
    for (int round = 0;; ++round) {
        if (round == kTransfersPerStep) {
            c.want_in = true;  // level-triggered: the rest wakes the loop again
            return true;
        }
        long n;
        if (c.ssl) {
            int rc = mbedtls_ssl_read(c.ssl.get(), reinterpret_cast<unsigned char*>(buf), sizeof buf);
            if (would_block(rc) || rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
                if (rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
                if (mbedtls_ssl_check_pending(c.ssl.get())) continue;
                (rc == MBEDTLS_ERR_SSL_WANT_WRITE ? c.want_out : c.want_in) = true;
                return true;
            }
            n = rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY ? 0 : rc;
        } else {
            long k = sockets::recv_some(c.fd, buf, sizeof buf);
            if (k < 0 && sockets::would_block()) {
                c.want_in = true;
                return true;
            }
            n = k;
        }
        if (n <= 0) {
            bool endless = plan_.sizes.up == kEndless || plan_.sizes.down == kEndless;
            if (endless && c.phase == Phase::kTransfer) {
                ++report_.ended_by_peer;
                end(c, "");
            } else {
                end(c, "the proxy ended the connection after " + std::to_string(c.in.count()) +
                           " bytes (" + phase_name(c.phase) + ")");
            }
            return false;
        }
        const char* p = buf;
        size_t len = static_cast<size_t>(n);
        if (c.switching_seen < kLoadSwitching.size()) {
            size_t k = std::min(len, kLoadSwitching.size() - c.switching_seen);
            if (kLoadSwitching.compare(c.switching_seen, k, p, k) != 0) {
                end(c, "the answer did not begin with the 101");
                return false;
            }
            c.switching_seen += k;
            p += k;
            len -= k;
        }
        bool was_ok = c.in.ok();
        c.in.feed(p, len);
        bytes_checked_ += len;
        if (was_ok && !c.in.ok()) {
            end(c, "a downloaded byte differs near offset " + std::to_string(c.in.count()));
            return false;
        }
        if (c.in.count() > plan_.sizes.down) {
            end(c, "more bytes than the backend sent");
            return false;
        }
    }
}

void LoadClients::watch(Conn& c) {
    short want = static_cast<short>((c.want_in ? POLLIN : 0) | (c.want_out ? POLLOUT : 0));
    if (want == c.watching) return;
    ready_.watch(c.fd, want, c.id);
    c.watching = want;
}

// Closes the connection; a non-empty failure counts it as failed.
void LoadClients::end(Conn& c, const std::string& failure) {
    if (!failure.empty()) {
        ++report_.failed;
        if (report_.first_failure.empty()) {
            report_.first_failure = "connection " + std::to_string(c.id) + ": " + failure;
        }
    }
    if (c.phase < Phase::kBarrier) --opening_;
    c.phase = Phase::kEnded;
    if (c.fd >= 0) {
        if (c.watching) ready_.forget(c.fd);
        sockets::close(c.fd);
        c.fd = -1;
    }
    if (c.ssl) {
        mbedtls_ssl_free(c.ssl.get());
        c.ssl.reset();
    }
    c.watching = 0;
    --live_;
}

void LoadClients::release_all() {
    released_ = true;
    for (auto& c : conns_) {
        if (c->phase == Phase::kBarrier) {
            c->phase = Phase::kTransfer;
            step(*c);
        }
    }
}

}  // namespace loadtest
