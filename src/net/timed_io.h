// Transfers that hold to a time limit another thread may move (the idle
// limit): they sleep in the platform's timed waits and take or hand over
// bytes without blocking, so that the limit is asked again after every wait.
// Without a limit the data path keeps its plain blocking transfers.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/deadline.h"
#include "platform/socket.h"

// Tells `moved_at` (when not null) that bytes moved now.
inline void note_moved(std::atomic<long long>* moved_at) {
    if (moved_at) moved_at->store(plat::monotonic_ms());
}

// > 0: bytes read (at most cap); 0: the peer closed, the socket was shut
// down here, `woken` was set or the limit is up; < 0: failure.
long recv_within(plat::Socket s, char* buf, size_t cap, const plat::WaitLimit& limit,
                 const plat::Wake* woken = nullptr);

// Sends all n bytes, telling `moved_at` of each piece the socket takes.
// False when a send failed, `woken` was set or the limit was up while the
// socket took nothing. `slot` (open) carries a send handed over to the
// system while this waits (plat::socket_send_handover).
bool send_all_within(plat::Socket s, plat::SendSlot& slot, const char* p, size_t n,
                     const plat::WaitLimit& limit, const plat::Wake* woken,
                     std::atomic<long long>* moved_at);
