// A listening socket served on a thread of its own, one client at a time:
// the demo backends and the metrics page.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform.h"

namespace host {

class ClientLoop {
public:
    using Handler = std::function<void(Socket client)>;

    ClientLoop() = default;
    ClientLoop(const ClientLoop&) = delete;
    ClientLoop& operator=(const ClientLoop&) = delete;
    ~ClientLoop() { stop(); }

    // Serves `listener` (bound to `port` and listening; this loop owns it
    // from now on): each client is handed to `handle`, then closed.
    void start(Socket listener, int port, Handler handle);

    // Ends the thread (a client being handled is finished first, bounded by
    // the handler's own time-out) and closes the listener. Safe to call twice.
    void stop();

private:
    void serve();

    Socket listener_ = kNoSocket;
    int port_ = 0;
    Handler handle_;
    std::atomic<bool> stopping_{false};
    AcceptWake wake_;
    std::thread thread_;
};

using Clock = std::chrono::steady_clock;

// Reads what arrives before the deadline, appending to out up to limit
// bytes. Returns false on time-out, close or error.
bool read_some(Socket client, std::string& out, size_t limit, Clock::time_point deadline);

}  // namespace host
