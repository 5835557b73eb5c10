// The --metrics listener: GET /metrics (Prometheus text format) and
// GET /status (the library's report) on a thread of its own.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform.h"

namespace host {

class MetricsServer {
public:
    MetricsServer() = default;
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;
    ~MetricsServer() { stop(); }

    // Listens on address:port and serves one client at a time. False with a
    // message when the socket cannot be set up.
    bool start(const std::string& address, int port, std::string& error);

    // Ends the thread (a client being answered is finished first, bounded
    // by the client time-out) and closes the socket. Safe to call twice.
    void stop();

private:
    void serve();

    Socket listener_ = kNoSocket;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace host
