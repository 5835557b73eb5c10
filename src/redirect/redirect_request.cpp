#include "redirect/redirect_request.h"

#include <cstring>

#include "state.h"

size_t redirect_read_head(ReceiveFn receive, void* source, char* buf) {
    constexpr size_t kMaxBytes = kRedirectRequestCapacity - 1;
    size_t filled = 0;
    buf[0] = '\0';
    for (int calls = 0; calls < kRedirectMaxReceives && filled < kMaxBytes; ++calls) {
        long n = receive(source, buf + filled, kMaxBytes - filled);
        if (n <= 0) break;
        filled += static_cast<size_t>(n);
        buf[filled] = '\0';
        // From the start every time: a NUL among the bytes must keep hiding
        // an end-of-head marker that arrives after it.
        if (strstr(buf, "\r\n\r\n")) break;
    }
    return filled;
}

void redirect_parse(const char* request, size_t received, RedirectTexts& out) {
    memset(out.host, 0, sizeof out.host);
    memset(out.target, 0, sizeof out.target);
    if (received == 0) return;

    header_get(request, out.host);
    if (char* colon = strchr(out.host, ':')) *colon = '\0';

    const char* first = strchr(request, ' ');
    if (!first) return;
    const char* second = strchr(first + 1, ' ');
    if (!second) return;
    copy_text(out.target, sizeof out.target, first + 1, static_cast<size_t>(second - first - 1));
}
