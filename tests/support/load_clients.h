// Many clients at once for load tests, plain or TLS, driven from one event
// loop (sockets::ReadySet) on the calling thread. Each connection sends load_head(id), waits at
// a barrier until every connection is relaying, then uploads its stream and
// checks every byte of its download (event_backend.h holds the other end).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/event_backend.h"
#include "support/ready_set.h"

namespace loadtest {

struct ClientPlan {
    int port = 0;
    int connections = 0;
    StreamSizes sizes;
    bool tls = false;
    // New connections are opened while fewer than `window` of them wait in
    // the proxy's listen queue (its backlog is small); proxy_accepted()
    // tells how many the proxy has taken so far.
    int window = 16;
    std::function<int()> proxy_accepted;
    // The barrier: uploads begin once every head is sent and this is true.
    std::function<bool()> all_relaying;
    int timeout_ms = 60000;
};

struct ClientReport {
    int opened = 0;          // connected (and through the handshake) with the head sent
    int completed = 0;       // finite streams: both complete and checked, then closed
    int ended_by_peer = 0;   // endless streams: the proxy ended the connection
    int failed = 0;
    bool timed_out = false;
    size_t bytes_sent = 0;
    size_t bytes_checked = 0;
    double open_seconds = 0;      // until the barrier opened
    double transfer_seconds = 0;  // from the barrier until the end
    std::string first_failure;
    std::string summary() const;
};

class LoadClients {
public:
    explicit LoadClients(ClientPlan plan);
    ~LoadClients();
    LoadClients(const LoadClients&) = delete;
    LoadClients& operator=(const LoadClients&) = delete;

    // Runs until every connection has ended or the time ran out.
    ClientReport run();

    // Progress, readable from another thread while run() runs.
    bool released() const { return released_.load(); }
    size_t bytes_checked() const { return bytes_checked_.load(); }

private:
    struct Conn;
    struct Tls;
    void open_more();
    void step(Conn& c);
    bool connect_done(Conn& c);
    bool handshake(Conn& c);
    bool write_step(Conn& c);
    bool read_step(Conn& c);
    void watch(Conn& c);
    void end(Conn& c, const std::string& failure);
    void release_all();

    ClientPlan plan_;
    std::unique_ptr<Tls> tls_;
    sockets::ReadySet ready_;
    std::vector<std::unique_ptr<Conn>> conns_;
    int next_id_ = 0;
    int live_ = 0;
    int opening_ = 0;  // connections not yet at the barrier (nor ended)
    ClientReport report_;
    std::atomic<bool> released_{false};
    std::atomic<size_t> bytes_checked_{0};
};

}  // namespace loadtest
