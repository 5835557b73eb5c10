#include "net/head_rewrite.h"

#include <cstdio>
#include <cstring>

#include "net/ascii.h"

namespace {

bool is_replaced_header(std::string_view line) {
    return ascii_istarts_with(line, "X-Forwarded-For:") ||
           ascii_istarts_with(line, "X-Forwarded-Proto:") ||
           ascii_istarts_with(line, "X-Forwarded-Host:");
}

}  // namespace

size_t rewrite_head(std::string_view head, const char* client_ip, const char* scheme,
                    const char* host_value, std::span<char> out) {
    // The head ends with "\r\n\r\n": every line before its final CRLF (the
    // empty line) is a line of the head, even an empty one at its start.
    size_t head_end = head.size() >= 2 ? head.size() - 2 : 0;
    size_t len = 0;
    for (size_t pos = 0; pos < head_end;) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) break;
        std::string_view line = head.substr(pos, end + 2 - pos);
        pos = end + 2;
        if (is_replaced_header(line)) continue;
        if (line.size() > out.size() - len) return 0;
        memcpy(out.data() + len, line.data(), line.size());
        len += line.size();
    }
    int n = snprintf(out.data() + len, out.size() - len,
                     "X-Forwarded-For: %s\r\nX-Forwarded-Proto: %s\r\nX-Forwarded-Host: %s\r\n\r\n",
                     client_ip, scheme, host_value[0] ? host_value : "-");
    if (n < 0 || static_cast<size_t>(n) >= out.size() - len) return 0;
    return len + static_cast<size_t>(n);
}
