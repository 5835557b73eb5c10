// A request head as the connection takes it, over arbitrary bytes with a
// fixed route table: the reader, the examination, route selection and the
// rewrite. Beyond "no crash": a head the reader accepts holds no bare CR or
// LF and no NUL, the chosen route really matches, and the rewritten head
// carries no client-sent X-Forwarded-For/Proto/Host line, whatever its
// spelling, and ends with exactly one empty line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "net/h1_reader.h"
#include "net/head_rewrite.h"
#include "net/request_head.h"
#include "net/route_select.h"

namespace {

Route table[6];

void set_route(Route& r, const char* host, const char* prefix) {
    strcpy(r.host, host);
    strcpy(r.path_prefix, prefix);
    strcpy(r.target_ip, "127.0.0.1");
    r.target_port = 9000;
}

// Lower case, '_' read as '-'.
bool starts_with_folded(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '_') c = '-';
        if (c != prefix[i]) return false;
    }
    return true;
}

bool has_bare_line_break_or_nul(std::string_view head) {
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\0') return true;
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return true;
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return true;
    }
    return false;
}

void check_rewrite(std::string_view out) {
    if (out.size() < 4 || out.substr(out.size() - 4) != "\r\n\r\n") abort();
    if (out.find("\r\n\r\n") != out.size() - 4) abort();
    // Exactly one line of each X-Forwarded name: the appended one.
    int seen[3] = {0, 0, 0};
    static constexpr std::string_view kNames[3] = {
        "x-forwarded-for:", "x-forwarded-proto:", "x-forwarded-host:"};
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find("\r\n", pos);
        std::string_view line = out.substr(pos, end - pos);
        for (int i = 0; i < 3; ++i) seen[i] += starts_with_folded(line, kNames[i]);
        pos = end + 2;
    }
    if (seen[0] != 1 || seen[1] != 1 || seen[2] != 1) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (table[0].target_port == 0) {
        set_route(table[0], "", "/");
        set_route(table[1], "*", "/api");
        set_route(table[2], "a.example", "/api");
        set_route(table[3], "", "/api/");
        set_route(table[4], "B.Example", "/");
        set_route(table[5], "", "/x?y");
    }
    if (size > kHeadMaxBytes) size = kHeadMaxBytes;
    std::string buf(reinterpret_cast<const char*>(data), size);
    H1Reader reader = h1_reader(H1Kind::kRequest);
    size_t head_len = 0;
    if (h1_read(reader, buf.data(), buf.size(), head_len) != H1Event::kHead) return 0;
    std::string_view text(buf.c_str(), head_len);
    if (has_bare_line_break_or_nul(text)) abort();
    static RequestHead head;
    const size_t start = leading_empty_lines(text);
    if (!examine_request_head(buf.c_str(), start, head_len, reader.flags, head)) return 0;
    if (strnlen(head.target, kTargetCapacity) == kTargetCapacity) abort();
    if (strchr(head.host_name, ':')) abort();

    int chosen = select_route(table, head.host_name, head.target);
    if (chosen < -1 || chosen >= 6) abort();
    if (chosen >= 0 &&
        strncmp(head.target, table[chosen].path_prefix, strlen(table[chosen].path_prefix)) != 0) {
        abort();
    }

    static char out[kOutCapacity];
    size_t n = rewrite_head(text.substr(start), (reader.flags & kH1UpgradeH2c) != 0, "192.0.2.7",
                            "https", head.host_value, out);
    if (n == 0 || n > kOutCapacity) abort();
    check_rewrite(std::string_view(out, n));
    return 0;
}
