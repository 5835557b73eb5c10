#include "support/ready_set.h"

#include <chrono>
#include <thread>

namespace sockets {

void ReadySet::watch(int fd, short events, int key) {
    auto it = slots_.find(fd);
    if (events == 0) {
        if (it == slots_.end()) return;
        // The last slot moves into the freed one.
        size_t slot = it->second;
        slots_.erase(it);
        if (slot + 1 != fds_.size()) {
            fds_[slot] = fds_.back();
            keys_[slot] = keys_.back();
            slots_[static_cast<int>(fds_[slot].fd)] = slot;
        }
        fds_.pop_back();
        keys_.pop_back();
        return;
    }
    if (it != slots_.end()) {
        fds_[it->second].events = events;
        keys_[it->second] = key;
        return;
    }
    pollfd p{};
    p.fd = fd;
    p.events = events;
    slots_.emplace(fd, fds_.size());
    fds_.push_back(p);
    keys_.push_back(key);
}

const std::vector<ReadySet::Ready>& ReadySet::wait(int timeout_ms) {
    ready_.clear();
    // WSAPoll refuses an empty array at once where poll waits out the time.
    if (fds_.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return ready_;
    }
    int n = poll_all(fds_.data(), fds_.size(), timeout_ms);
    for (size_t i = 0; i < fds_.size() && n > 0; ++i) {
        if (fds_[i].revents == 0) continue;
        ready_.push_back({keys_[i], fds_[i].revents});
        fds_[i].revents = 0;
        --n;
    }
    return ready_;
}

}  // namespace sockets
