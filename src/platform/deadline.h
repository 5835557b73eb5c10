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

}  // namespace plat
