// A backend for load tests: one thread serves every connection from one
// event loop (sockets::ReadySet), so thousands of connections cost no thread
// each. Each connection must begin with the head the proxy forwards for a
// load client (load_head() below), which the backend answers with a 101; it
// then checks every uploaded byte against the connection's own stream and,
// once the upload has begun, sends its own download stream back (so nothing
// moves before the clients' barrier).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "support/ready_set.h"

namespace loadtest {

constexpr size_t kEndless = std::numeric_limits<size_t>::max();

// Bytes each connection moves after its head; kEndless: until the peer ends.
struct StreamSizes {
    size_t up = 0;    // client to backend
    size_t down = 0;  // backend to client
};

// The seeds of connection id's two streams (tlsclient::Pattern).
uint32_t up_seed(int id);
uint32_t down_seed(int id);

// The request head a load client sends for connection id: it asks for an
// upgrade, and the backend's 101 (kLoadSwitching) makes the connection a
// byte pipe both ways for the two streams.
std::string load_head(int id);
inline const std::string kLoadSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: load\r\n\r\n";

class EventBackend {
public:
    // scheme: the X-Forwarded-Proto value every forwarded head must carry.
    EventBackend(StreamSizes sizes, const char* scheme);
    ~EventBackend();
    EventBackend(const EventBackend&) = delete;
    EventBackend& operator=(const EventBackend&) = delete;

    int port() const { return port_; }

    int accepted() const { return accepted_.load(); }
    int open() const { return open_.load(); }
    // Connections that ended after a well-formed forwarded head, with every
    // uploaded byte matching and (for finite streams) both streams complete.
    int verified() const { return verified_.load(); }
    int failed() const { return failed_.load(); }
    size_t bytes_checked() const { return bytes_checked_.load(); }
    size_t bytes_sent() const { return bytes_sent_.load(); }
    std::string first_failure() const;

private:
    struct Conn;
    void run();
    void accept_all();
    void on_event(Conn& c, short events);
    bool take_head(Conn& c, const char* p, size_t n);
    bool read_some(Conn& c);
    bool write_some(Conn& c);
    void watch(Conn& c, bool want_out);
    void finish(Conn& c, bool reset);
    void fail(const std::string& why);

    StreamSizes sizes_;
    std::string scheme_;
    int listen_fd_ = -1;
    int port_ = -1;
    sockets::ReadySet ready_;  // loop thread only, once it runs
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> open_{0};
    std::atomic<int> verified_{0};
    std::atomic<int> failed_{0};
    std::atomic<size_t> bytes_checked_{0};
    std::atomic<size_t> bytes_sent_{0};
    mutable std::mutex failure_lock_;
    std::string first_failure_;
    std::unordered_map<int, std::unique_ptr<Conn>> conns_;  // by descriptor; loop thread only
    std::thread thread_;
};

}  // namespace loadtest
