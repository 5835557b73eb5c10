// Readiness of many sockets at once, for the load tests' event loops. The
// poll array is kept from one wait to the next: watching, changing and
// forgetting a socket cost O(1), and a wait is one sockets::poll_all (poll
// on Linux, WSAPoll on Windows) over the watched sockets.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "support/sockets.h"

namespace sockets {

class ReadySet {
public:
    struct Ready {
        int key;
        short events;  // POLLIN, POLLOUT, POLLHUP, POLLERR as reported
    };

    // Watches fd for `events` (POLLIN, POLLOUT or both) and reports it under
    // `key`; events 0 forgets it. A watched socket always reports a hang-up
    // or an error.
    void watch(int fd, short events, int key);
    void forget(int fd) { watch(fd, 0, 0); }
    size_t size() const { return fds_.size(); }

    // Waits up to timeout_ms; returns the sockets that reported something,
    // valid until the next wait. Watching and forgetting while going through
    // them is fine.
    const std::vector<Ready>& wait(int timeout_ms);

private:
    std::vector<pollfd> fds_;
    std::vector<int> keys_;                  // by slot, as fds_
    std::unordered_map<int, size_t> slots_;  // by descriptor
    std::vector<Ready> ready_;
};

}  // namespace sockets
