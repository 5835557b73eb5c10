// Deadlines on the monotonic clock, for every wait with a time limit.
#pragma once

#include "platform/socket.h"

namespace plat {

// The deadline timeout_ms from now; -1 (none) for a negative timeout.
inline long long deadline_after(int timeout_ms) {
    return timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
}

// Milliseconds left until deadline: -1 for none, 0 once it has passed.
inline int time_left(long long deadline) {
    if (deadline < 0) return -1;
    long long left = deadline - monotonic_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A limit on a wait that another thread may move while the wait sleeps.
// The waiting thread sleeps for what was left when it began, then asks
// again, so a limit moved later costs no wake-up.
class WaitLimit {
public:
    // Milliseconds to wait before asking again: -1 for no limit, 0 once the
    // time is up.
    virtual int left_ms() const = 0;

protected:
    ~WaitLimit() = default;
};

// A fixed deadline on monotonic_ms (-1: none).
class Deadline final : public WaitLimit {
public:
    explicit Deadline(long long at) : at_(at) {}
    int left_ms() const override { return time_left(at_); }

private:
    long long at_;
};

}  // namespace plat
