#include "net/timed_io.h"

long recv_within(plat::Socket s, char* buf, size_t cap, const plat::WaitLimit& limit,
                 const plat::Wake* woken) {
    for (;;) {
        int left = limit.left_ms();
        if (left == 0) return 0;
        plat::Wait w = plat::wait_readable(s, left, woken);
        if (w == plat::Wait::kWoken) return 0;
        if (w == plat::Wait::kTimeout) continue;
        long n = plat::socket_recv_nowait(s, buf, cap);
        if (n != plat::kWouldBlock) return n;
    }
}

// A piece handed over stays the same until it is reported sent: the next
// call offers the same bytes again.
bool send_all_within(plat::Socket s, plat::SendSlot& slot, const char* p, size_t n,
                     const plat::WaitLimit& limit, const plat::Wake* woken,
                     std::atomic<long long>* moved_at) {
    while (n > 0) {
        if (woken && woken->is_set()) return false;
        long sent = plat::socket_send_handover(s, slot, p, n);
        if (sent > 0) {
            note_moved(moved_at);
            p += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (sent != plat::kWouldBlock) return false;
        for (;;) {
            int left = limit.left_ms();
            if (left == 0) return false;
            plat::Wait w = plat::wait_send_room(s, slot, left, woken);
            if (w == plat::Wait::kWoken) return false;
            if (w == plat::Wait::kReady) break;
        }
    }
    return true;
}
