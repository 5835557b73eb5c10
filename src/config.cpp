// Reading the configuration document: jsmn tokens over a fixed array, keys
// found by a linear pass, values copied raw (escapes stay as written).
#include "config.h"

#include <climits>
#include <cstring>
#include <string_view>

#include <jsmn.h>

namespace {

constexpr int kMaxTokens = 256;
constexpr int kTopLevel = 0;  // the document's object is always the first token
constexpr size_t kNumberCapacity = 16;  // numeric values are converted from 15 characters

// The tokens of one document and the text they point into.
struct Tokens {
    const char* doc;
    jsmntok_t tok[kMaxTokens];
    int count;
};

constexpr int kAbsent = -1;

// Index of the value token of key `name` directly inside the owner token, or
// kAbsent. The first matching key wins. A key that is the last token has no
// value and counts as absent, so nothing past `count` is ever read.
int find_value(const Tokens& t, int owner, std::string_view name) {
    for (int i = owner + 1; i < t.count; ++i) {
        const jsmntok_t& k = t.tok[i];
        if (k.type != JSMN_STRING || k.parent != owner) continue;
        std::string_view text(t.doc + k.start, static_cast<size_t>(k.end - k.start));
        if (text != name) continue;
        return i + 1 < t.count ? i + 1 : kAbsent;
    }
    return kAbsent;
}

std::string_view value_text(const Tokens& t, int index) {
    const jsmntok_t& v = t.tok[index];
    return {t.doc + v.start, static_cast<size_t>(v.end - v.start)};
}

void copy_value(const Tokens& t, int index, char* dst, size_t cap) {
    std::string_view text = value_text(t, index);
    copy_text(dst, cap, text.data(), text.size());
}

// Converts as atoi does: leading white space, an optional sign, then decimal
// digits up to the first other character; no digits gives 0. Unlike atoi, a
// value beyond the range of int is clamped to INT_MIN or INT_MAX instead of
// being undefined.
int text_to_int(const char* s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    long long value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10 + (*s - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;  // already out of range
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The first 15 characters of a value, converted.
int number_value(const Tokens& t, int index) {
    char text[kNumberCapacity];
    copy_value(t, index, text, sizeof text);
    return text_to_int(text);
}

// The keys that guard the service against its clients take a plain JSON
// number of digits and nothing else, so that a value such as "20s" or -1
// fails the start instead of being read as something else. Absent, the key
// keeps `fallback`. False for a sign, fraction, exponent, leading zero,
// string or bare word, or a value above `most`.
bool guard_value(const Tokens& t, std::string_view name, int most, int fallback, int& out) {
    out = fallback;
    int v = find_value(t, kTopLevel, name);
    if (v == kAbsent) return true;
    std::string_view text = value_text(t, v);
    if (t.tok[v].type != JSMN_PRIMITIVE || text.empty() || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > most) return false;
    }
    out = static_cast<int>(value);
    return true;
}

constexpr int kHeadTimeoutDefaultMs = 20000;
constexpr int kHeadTimeoutMostMs = 3600000;
constexpr int kConnectionCapMost = 1000000;
constexpr int kIdleTimeoutMostMs = 86400000;  // a day

// Fills the route slot st.routes[st.route_count] from the route object at
// index `obj`. False, with the message written, when it has no usable port;
// the partly filled slot then stays as it is.
bool read_route(const Tokens& t, int obj, ProxyState& st) {
    Route& r = st.routes[st.route_count];
    clear_route(r);
    copy_text(r.path_prefix, sizeof r.path_prefix, "/", 1);
    copy_text(r.target_ip, sizeof r.target_ip, "127.0.0.1", 9);

    int v = find_value(t, obj, "host");
    if (v != kAbsent) copy_value(t, v, r.host, sizeof r.host);
    v = find_value(t, obj, "path_prefix");
    if (v != kAbsent && !value_text(t, v).empty()) copy_value(t, v, r.path_prefix, sizeof r.path_prefix);
    v = find_value(t, obj, "target_ip");
    if (v != kAbsent && !value_text(t, v).empty()) copy_value(t, v, r.target_ip, sizeof r.target_ip);
    v = find_value(t, obj, "target_port");
    if (v != kAbsent) r.target_port = number_value(t, v);

    if (r.target_port <= 0) {
        set_error("route %d: target_port required", st.route_count);
        return false;
    }
    ++st.route_count;
    return true;
}

// Reads the route objects that are direct elements of the array at index
// `routes`, at most kMaxRoutes of them; later ones are not looked at.
bool read_routes(const Tokens& t, int routes, ProxyState& st) {
    for (int i = routes + 1; i < t.count; ++i) {
        if (st.route_count == kMaxRoutes) break;
        if (t.tok[i].type != JSMN_OBJECT || t.tok[i].parent != routes) continue;
        if (!read_route(t, i, st)) return false;
    }
    return true;
}

// Tokenizes doc into t. False when it is not a document whose first token is
// an object: empty, malformed, more than kMaxTokens tokens, or no token.
bool tokenize(const char* doc, Tokens& t) {
    t.doc = doc;
    t.count = 0;
    if (doc[0] == '\0') return false;
    jsmn_parser parser;
    jsmn_init(&parser);
    int n = jsmn_parse(&parser, doc, strlen(doc), t.tok, kMaxTokens);
    if (n <= 0) return false;
    t.count = n;
    return t.tok[0].type == JSMN_OBJECT;
}

}  // namespace

bool parse_config(const char* doc, ProxyState& st, char* cert_path, char* key_path) {
    cert_path[0] = '\0';
    key_path[0] = '\0';
    Tokens t;
    if (!tokenize(doc, t)) {
        set_error("config not a JSON object");
        return false;
    }

    int v = find_value(t, kTopLevel, "listen_port");
    if (v == kAbsent) {
        set_error("listen_port required");
        return false;
    }
    st.listen_port = number_value(t, v);

    v = find_value(t, kTopLevel, "tls_cert");
    if (v != kAbsent) copy_value(t, v, cert_path, kPathCapacity);
    v = find_value(t, kTopLevel, "tls_key");
    if (v != kAbsent) copy_value(t, v, key_path, kPathCapacity);

    v = find_value(t, kTopLevel, "http_redirect_port");
    if (v != kAbsent) st.redirect_port = number_value(t, v);

    st.tls_enabled = cert_path[0] != '\0' ? 1 : 0;
    if (st.tls_enabled && key_path[0] == '\0') {
        set_error("tls_key required when tls_cert is set");
        return false;
    }

    int routes = find_value(t, kTopLevel, "routes");
    if (routes == kAbsent || t.tok[routes].type != JSMN_ARRAY) {
        set_error("routes array required");
        return false;
    }
    if (!read_routes(t, routes, st)) return false;
    if (st.route_count == 0) {
        set_error("at least one route required");
        return false;
    }

    if (!guard_value(t, "head_timeout_ms", kHeadTimeoutMostMs, kHeadTimeoutDefaultMs,
                     st.head_timeout_ms)) {
        set_error("head_timeout_ms invalid");
        return false;
    }
    if (!guard_value(t, "max_connections", kConnectionCapMost, 0, st.max_connections)) {
        set_error("max_connections invalid");
        return false;
    }
    if (!guard_value(t, "max_connections_per_client", kConnectionCapMost, 0,
                     st.max_connections_per_client)) {
        set_error("max_connections_per_client invalid");
        return false;
    }
    if (!guard_value(t, "idle_timeout_ms", kIdleTimeoutMostMs, 0, st.idle_timeout_ms)) {
        set_error("idle_timeout_ms invalid");
        return false;
    }
    return true;
}
