// Whole-buffer sends, the same on every system: loops over the platform's
// own single sends and waits.
#include "platform/socket.h"

namespace plat {

bool socket_send_all(Socket s, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        long n = socket_send(s, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool socket_send_all(Socket s, const void* buf, size_t len, const std::atomic<int>& woken) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        long n = socket_send_nowait(s, p, len);
        if (n == kWouldBlock) {
            if (wait_writable(s, -1, &woken) == Wait::kWoken) return false;
            continue;
        }
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace plat
