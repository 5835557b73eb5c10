#include "client_loop.h"

#include <algorithm>

namespace host {

void ClientLoop::start(Socket listener, int port, Handler handle) {
    listener_ = listener;
    port_ = port;
    handle_ = std::move(handle);
    thread_ = std::thread([this] { serve(); });
}

void ClientLoop::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake_accept(listener_, port_, wake_);
        thread_.join();
    }
    if (listener_ != kNoSocket) close_socket(listener_);
    listener_ = kNoSocket;
}

void ClientLoop::serve() {
    while (!stopping_) {
        Socket client = accept_client(listener_, wake_);
        if (client == kNoSocket) continue;  // accept_client paused if need be
        // The wake-up of stop may be a connection of its own: not handled.
        if (!stopping_) handle_(client);
        close_socket(client);
    }
}

bool read_some(Socket client, std::string& out, size_t limit, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    char buf[4096];
    size_t want = std::min(sizeof buf, limit - out.size());
    long n = receive_within(client, buf, want, static_cast<int>(left.count()));
    if (n < 0) return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

}  // namespace host
