// One client connection of either kind, plain or TLS, with the few
// operations the fault tests need, so that a test table can run each case
// over both. Every wait is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/loopback.h"
#include "support/tls_client.h"

namespace anyclient {

// How the proxy ended the stream this client reads.
enum class End {
    kNone,     // the time ran out first
    kOrderly,  // plain: end of stream; TLS: close-notify
    kCut,      // plain: reset; TLS: an end or reset without close-notify
};

// What read_to_end saw: how the stream ended, how many bytes came before
// that, and the first of them (up to 64 KiB).
struct Ending {
    End how = End::kNone;
    size_t bytes = 0;
    std::string text;
};

class Client {
public:
    // Connects to 127.0.0.1:port and, with tls, completes the handshake.
    Client(bool tls, int port);

    bool connected() const { return connected_; }
    int fd() const;

    bool send(std::string_view text);
    // Reads until `marker` has arrived, the connection ended or the time ran out.
    std::string recv_until(std::string_view marker, int timeout_ms = loopback::kWaitMs);
    // Reads a response head a byte at a time, so that nothing after its
    // empty line is taken.
    std::string recv_head(int timeout_ms = loopback::kWaitMs);
    // Reads until the connection ends; *ended tells whether it did (rather
    // than the time running out).
    std::string recv_to_end(bool* ended, int timeout_ms = loopback::kWaitMs);
    // Sends `bytes` filler bytes while reading, on this one thread, until
    // `marker` has arrived, the connection ended or the time ran out; the
    // sending stops early when the proxy takes no more. Returns what was read.
    std::string send_while_reading(size_t bytes, std::string_view marker,
                                   int timeout_ms = loopback::kWaitMs);
    // Reads until the stream ends and tells how it ended.
    Ending read_to_end(int timeout_ms = loopback::kWaitMs);
    // True when nothing arrives and the connection stays open for timeout_ms.
    bool stays_quiet(int timeout_ms);

    // Sends `bytes` of tlsclient::Pattern(seed). False when the connection
    // failed (or the time ran out) first.
    bool upload(uint32_t seed, size_t bytes, int timeout_ms = loopback::kWaitMs);
    // Reads `bytes` and checks them against tlsclient::Pattern(seed); returns
    // how many arrived and matched.
    size_t download(uint32_t seed, size_t bytes, int timeout_ms = loopback::kWaitMs);

    void half_close();  // TCP end of the sending side; reading goes on
    void reset();       // abortive close: the proxy sees a reset

private:
    std::string read_until(std::string_view marker, int timeout_ms, size_t chunk);

    bool tls_;
    bool connected_ = false;
    loopback::Fd plain_;
    std::unique_ptr<tlsclient::Client> secure_;
};

}  // namespace anyclient
