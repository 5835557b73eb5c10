// The --metrics listener: GET /metrics (Prometheus text format) and
// GET /status (the library's report) on a thread of its own.
#pragma once

#include <string>

#include "client_loop.h"

namespace host {

class MetricsServer {
public:
    // Listens on address:port and serves one client at a time. False with a
    // message when the socket cannot be set up.
    bool start(const std::string& address, int port, std::string& error);

    // Ends the thread (a client being answered is finished first, bounded
    // by the client time-out) and closes the socket. Safe to call twice.
    void stop() { loop_.stop(); }

private:
    ClientLoop loop_;
};

}  // namespace host
