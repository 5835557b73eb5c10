// A TLS client for the tests, built on mbedTLS over a non-blocking loopback
// socket, and byte streams that reveal any lost, repeated or reordered byte.
//
// One thread at a time uses a Client. It does not verify the server's
// certificate: tests that care read the chain themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>

#include "support/loopback.h"

namespace tlsclient {

// A deterministic byte stream: the seed fixes every byte.
class Pattern {
public:
    explicit Pattern(uint32_t seed) : state_(seed | 1u) {}
    void fill(char* buf, size_t n);
    void skip(size_t n);

private:
    uint32_t state_;
};

// Checks received bytes against the Pattern of the same seed.
class PatternCheck {
public:
    explicit PatternCheck(uint32_t seed) : expected_(seed) {}
    // False from the first byte that differs on.
    bool feed(const char* buf, size_t n);
    bool ok() const { return ok_; }
    size_t count() const { return count_; }

private:
    Pattern expected_;
    size_t count_ = 0;
    bool ok_ = true;
};

struct Options {
    mbedtls_ssl_protocol_version min_version = MBEDTLS_SSL_VERSION_TLS1_2;
    mbedtls_ssl_protocol_version max_version = MBEDTLS_SSL_VERSION_TLS1_3;
    bool renegotiation = false;  // TLS 1.2 only; the server's refusal is not fatal
};

// Both directions of one exchange, resumable: pump() goes on where it ended.
struct Transfer {
    static constexpr size_t kUntilEnd = std::numeric_limits<size_t>::max();

    Transfer(uint32_t out_seed, size_t out_len, uint32_t in_seed, size_t in_len)
        : out(out_seed), out_len(out_len), in(in_seed), in_len(in_len) {}

    Pattern out;
    size_t out_len;
    size_t sent = 0;
    PatternCheck in;
    size_t in_len;       // reading stops after this many bytes, or at the end
    int end = 1;         // after the end: 0 (TCP end), PEER_CLOSE_NOTIFY or an error
    bool ended() const { return end <= 0; }

    // Internal: a record the library still holds after WANT_WRITE.
    char chunk[16384];
    size_t chunk_len = 0;
};

class Client {
public:
    explicit Client(Options options = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to 127.0.0.1:port and completes the handshake within
    // timeout_ms. False on failure; handshake_result() tells why.
    bool connect(int port, int timeout_ms = loopback::kWaitMs);
    int handshake_result() const { return handshake_rc_; }
    int fd() const { return fd_.get(); }
    mbedtls_ssl_context& ssl() { return ssl_; }

    // Moves bytes both ways until all of t.out_len is sent and t.in_len bytes
    // (or the end) arrived. False on time-out or a failure other than the end.
    bool pump(Transfer& t, int timeout_ms = loopback::kWaitMs);

    // Sends a whole text; reads until the end of the connection and returns
    // what arrived. *end gets how it ended (0, PEER_CLOSE_NOTIFY, an error, or
    // 1 when the time ran out).
    bool send(const std::string& text, int timeout_ms = loopback::kWaitMs);
    std::string read_to_end(int* end, int timeout_ms = loopback::kWaitMs);
    // Reads a response head a byte at a time, so that nothing after it is taken.
    std::string read_head(int timeout_ms = loopback::kWaitMs);

    // Asks for a renegotiation (TLS 1.2): sends the ClientHello and returns
    // once it is out. Afterwards this client can read but no longer write.
    bool start_renegotiation(int timeout_ms = loopback::kWaitMs);

    // Closes the socket abortively: the server sees a reset.
    void reset();

private:
    bool wait(short events, int timeout_ms);
    std::string read(int* end, int timeout_ms, bool head_only);

    Options options_;
    loopback::Fd fd_;
    int raw_fd_ = -1;  // what the library's send and receive callbacks use
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_ssl_config conf_;
    mbedtls_ssl_context ssl_;
    int handshake_rc_ = 1;
};

}  // namespace tlsclient
