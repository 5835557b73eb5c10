// Small HTTP backends for the demo mode. They run inside the host program,
// on 127.0.0.1, and answer every request with a short text that names the
// backend and shows what the proxy forwarded.
#pragma once

#include <string>

#include "client_loop.h"
#include "platform.h"

namespace host {

class DemoBackend {
public:
    DemoBackend() = default;
    DemoBackend(const DemoBackend&) = delete;
    DemoBackend& operator=(const DemoBackend&) = delete;

    // Listens on 127.0.0.1 on a port the system picks and serves on a thread
    // of its own. False with a message when the socket cannot be set up.
    bool start(std::string name, std::string& error);

    int port() const { return port_; }

    // Ends the thread and closes the socket; a request being answered is
    // finished first (bounded by the read time-out). Safe to call twice.
    void stop() { loop_.stop(); }

private:
    void answer(Socket client);

    std::string name_;
    int port_ = 0;
    ClientLoop loop_;  // last: its thread uses the fields above
};

// A loopback port on which nothing listens at the moment of the call, for a
// route whose backend is down. 0 when none could be found.
int unused_loopback_port();

}  // namespace host
