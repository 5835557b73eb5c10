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

class Client {
public:
    // Connects to 127.0.0.1:port and, with tls, completes the handshake.
    Client(bool tls, int port);

    bool connected() const { return connected_; }
    int fd() const;

    bool send(std::string_view text);
    // Reads until `marker` has arrived, the connection ended or the time ran out.
    std::string recv_until(std::string_view marker, int timeout_ms = loopback::kWaitMs);
    // Reads until the connection ends; *ended tells whether it did (rather
    // than the time running out).
    std::string recv_to_end(bool* ended, int timeout_ms = loopback::kWaitMs);
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
    bool tls_;
    bool connected_ = false;
    loopback::Fd plain_;
    std::unique_ptr<tlsclient::Client> secure_;
};

}  // namespace anyclient
