// The one-line JSON status report.
//
// Stored texts are raw document text, so a text written as a JSON string in
// the document is already valid string content and goes out as it was
// written, escapes included. Only what would break the report is escaped: a
// bare double quote, a backslash that does not begin a JSON escape (a text
// cut between a backslash and its partner ends in one) and control bytes.
#include "status_report.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kTailOpen = "],\"last_error\":\"";
constexpr std::string_view kTailClose = "\"}";

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Length of the JSON escape that starts at s[0] == '\\' (n bytes available),
// or 0 when the backslash does not begin one.
size_t escape_length(const char* s, size_t n) {
    if (n < 2) return 0;
    switch (s[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return 2;
    case 'u':
        if (n < 6) return 0;
        for (size_t i = 2; i < 6; ++i) {
            if (!is_hex(s[i])) return 0;
        }
        return 6;
    default:
        return 0;
    }
}

// One step of writing a text: `consumed` bytes of the source become the
// `produced` bytes in `out`.
struct Unit {
    size_t consumed;
    size_t produced;
    char out[6];
};

// The next unit of the n > 0 bytes at s. Units are taken left to right, so
// "\\\"" is an escaped backslash followed by a bare quote.
Unit next_unit(const char* s, size_t n) {
    Unit u{1, 1, {s[0]}};
    auto c = static_cast<unsigned char>(s[0]);
    if (c == '\\') {
        size_t len = escape_length(s, n);
        if (len == 0) return {1, 2, {'\\', '\\'}};
        u.consumed = u.produced = len;
        memcpy(u.out, s, len);
    } else if (c == '"') {
        return {1, 2, {'\\', '"'}};
    } else if (c < 0x20) {
        static const char kHex[] = "0123456789abcdef";
        return {1, 6, {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]}};
    }
    return u;
}

size_t escaped_length(std::string_view text) {
    size_t total = 0;
    for (size_t i = 0; i < text.size();) {
        Unit u = next_unit(text.data() + i, text.size() - i);
        i += u.consumed;
        total += u.produced;
    }
    return total;
}

// The report being built: it may not grow past `limit` characters, which is
// always below the buffer's capacity, so the NUL always has its place.
struct Report {
    char* buf;
    size_t len;
    size_t limit;
};

bool put(Report& r, std::string_view s) {
    if (s.size() > r.limit - r.len) return false;
    memcpy(r.buf + r.len, s.data(), s.size());
    r.len += s.size();
    return true;
}

// Appends text as JSON string content. Stops before the first unit that
// does not fit and returns false; an escape is never split.
bool put_text(Report& r, std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        Unit u = next_unit(text.data() + i, text.size() - i);
        if (!put(r, {u.out, u.produced})) return false;
        i += u.consumed;
    }
    return true;
}

std::string_view stored(const char* text, size_t cap) { return {text, strnlen(text, cap - 1)}; }

bool put_head(Report& r, const ProxyState& st) {
    int total = st.total_connections.load();
    int active = st.active_connections.load();
    char head[192];
    int n = snprintf(head, sizeof head,
                     "{\"running\":%d,\"tls\":%d,\"listen_port\":%d,\"redirect_port\":%d,"
                     "\"active_connections\":%d,\"total_connections\":%d,\"routes\":[",
                     st.running.load() ? 1 : 0, st.tls_enabled ? 1 : 0, st.listen_port,
                     st.redirect_port, active, total);
    return put(r, {head, static_cast<size_t>(n)});
}

// Appends one route object, or nothing at all when it does not fit whole.
bool put_route(Report& r, const Route& route, bool first) {
    size_t mark = r.len;
    char numbers[96];
    int n = snprintf(numbers, sizeof numbers, "\",\"target_port\":%d,\"hits\":%d,\"errors\":%d}",
                     route.target_port, route.hits.load(), route.errors.load());
    bool whole = put(r, first ? "{\"host\":\"" : ",{\"host\":\"") &&
                 put_text(r, stored(route.host, sizeof route.host)) &&
                 put(r, "\",\"path_prefix\":\"") &&
                 put_text(r, stored(route.path_prefix, sizeof route.path_prefix)) &&
                 put(r, "\",\"target_ip\":\"") &&
                 put_text(r, stored(route.target_ip, sizeof route.target_ip)) &&
                 put(r, {numbers, static_cast<size_t>(n)});
    if (!whole) r.len = mark;
    return whole;
}

// Appends the tail; its frame was reserved, so only the error text can be
// short of room. It is then cut between units, and before any byte of a
// multi-byte character that might have lost its end.
void put_tail(Report& r, std::string_view error, size_t cap) {
    r.limit = cap - 1;
    put(r, kTailOpen);
    size_t text_start = r.len;
    r.limit = cap - 1 - kTailClose.size();
    if (!put_text(r, error)) {
        while (r.len > text_start && static_cast<unsigned char>(r.buf[r.len - 1]) >= 0x80) --r.len;
    }
    r.limit = cap - 1;
    put(r, kTailClose);
}

}  // namespace

// The tail with the whole last error (at most 511 bytes, 3085 characters
// escaped) always fits beside the head in kStatusCapacity; route objects fill
// what is left. A buffer too small for the head and the tail's frame gets an
// empty text rather than a broken one.
size_t format_status_report(const ProxyState& st, const char* last_error, char* buf, size_t cap) {
    buf[0] = '\0';
    const size_t frame = kTailOpen.size() + kTailClose.size();
    if (cap <= frame) return 0;
    std::string_view error = stored(last_error, kErrorCapacity);

    Report r{buf, 0, cap - 1 - frame};
    if (!put_head(r, st)) {
        buf[0] = '\0';
        return 0;
    }
    // Route objects go in whole while the complete tail still fits after them.
    size_t tail = frame + escaped_length(error);
    r.limit = cap - 1 >= r.len + tail ? cap - 1 - tail : r.len;
    for (int i = 0; i < st.route_count && i < kMaxRoutes; ++i) {
        if (!put_route(r, st.routes[i], i == 0)) break;
    }
    put_tail(r, error, cap);
    buf[r.len] = '\0';
    return r.len;
}
