// Whole-buffer sends, the same on every system: a loop over the platform's
// own single sends.
#include "platform/socket.h"

namespace plat {

bool socket_send_all(Socket s, const void* buf, size_t len, const Wake* woken) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        long n = socket_send(s, p, len, woken);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace plat
