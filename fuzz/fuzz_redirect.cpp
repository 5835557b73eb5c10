// The redirect listener's request reading, parsing and response formatting.
// Beyond "no crash": whatever the client sent, the 301 has exactly its four
// header lines and the empty line, with no other control byte in it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "redirect/redirect_request.h"
#include "redirect/redirect_response.h"

namespace {

struct Feed {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

// Hands the input out in pieces whose sizes come from the input itself, so
// the receive limits are exercised too.
long receive(void* source, char* buf, size_t len) {
    auto* f = static_cast<Feed*>(source);
    if (f->pos >= f->size) return 0;
    size_t piece = 1 + f->data[f->pos] % 64;
    piece = std::min({piece, len, f->size - f->pos});
    memcpy(buf, f->data + f->pos, piece);
    f->pos += piece;
    return static_cast<long>(piece);
}

void check_response(std::string_view r) {
    constexpr std::string_view kHead = "HTTP/1.1 301 Moved Permanently\r\nLocation: https://";
    constexpr std::string_view kTail = "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (r.substr(0, kHead.size()) != kHead) abort();
    if (r.size() < kHead.size() + kTail.size()) abort();
    if (r.substr(r.size() - kTail.size()) != kTail) abort();
    std::string_view location = r.substr(kHead.size(), r.size() - kHead.size() - kTail.size());
    for (unsigned char c : location) {
        if (c < 0x20 || c == 0x7f) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char request[kRedirectRequestCapacity];
    static RedirectTexts texts;
    static char response[kRedirectResponseCapacity];
    Feed feed{data, size, 0};
    size_t received = redirect_read_head(receive, &feed, request);
    if (received >= kRedirectRequestCapacity || request[received] != '\0') abort();
    redirect_parse(request, received, texts);
    int port = size > 0 && data[0] % 2 ? 443 : 8443;
    size_t n = redirect_format(texts, port, response);
    if (n >= kRedirectResponseCapacity) abort();
    check_response(std::string_view(response, n));
    return 0;
}
