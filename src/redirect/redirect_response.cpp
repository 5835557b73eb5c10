#include "redirect/redirect_response.h"

#include <cstdio>

namespace {

constexpr char kFormatDefaultPort[] =
    "HTTP/1.1 301 Moved Permanently\r\nLocation: https://%s%s\r\n"
    "Content-Length: 0\r\nConnection: close\r\n\r\n";
constexpr char kFormatWithPort[] =
    "HTTP/1.1 301 Moved Permanently\r\nLocation: https://%s:%d%s\r\n"
    "Content-Length: 0\r\nConnection: close\r\n\r\n";

constexpr size_t kMaxIntChars = 11;  // "-2147483648"
constexpr size_t kEncodedHostCapacity = 3 * (kHostCapacity - 1) + 1;
constexpr size_t kEncodedTargetCapacity = 3 * (kRedirectTargetCapacity - 1) + 1;

static_assert(sizeof kFormatWithPort - 1 + kMaxIntChars + (kEncodedHostCapacity - 1) +
                      (kEncodedTargetCapacity - 1) <
                  kRedirectResponseCapacity,
              "the longest redirect response must fit without truncation");

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

size_t percent_encode_controls(const char* text, char* out, size_t cap) {
    static const char kHex[] = "0123456789ABCDEF";
    if (cap == 0) return 0;
    size_t len = 0;
    for (const char* p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        size_t need = is_control(c) ? 3 : 1;
        if (len + need >= cap) break;
        if (need == 3) {
            out[len++] = '%';
            out[len++] = kHex[c >> 4];
            out[len++] = kHex[c & 0xF];
        } else {
            out[len++] = *p;
        }
    }
    out[len] = '\0';
    return len;
}

size_t redirect_format(const RedirectTexts& texts, int listen_port, char* out) {
    char host[kEncodedHostCapacity];
    char target[kEncodedTargetCapacity];
    percent_encode_controls(texts.host[0] ? texts.host : "localhost", host, sizeof host);
    percent_encode_controls(texts.target[0] ? texts.target : "/", target, sizeof target);
    int n = listen_port == kHttpsDefaultPort
                ? snprintf(out, kRedirectResponseCapacity, kFormatDefaultPort, host, target)
                : snprintf(out, kRedirectResponseCapacity, kFormatWithPort, host, listen_port,
                           target);
    return n > 0 ? static_cast<size_t>(n) : 0;
}
