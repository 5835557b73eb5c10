#include "status_view.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include <jsmn.h>

namespace host {
namespace {

// Enough for the head, sixteen routes of fifteen tokens each and the tail.
constexpr unsigned kMaxTokens = 512;

struct Tokens {
    std::string_view text;
    std::vector<jsmntok_t> tok;

    std::string_view raw(int i) const {
        return text.substr(tok[i].start, tok[i].end - tok[i].start);
    }
    bool is_key(int i, std::string_view name) const {
        return tok[i].type == JSMN_STRING && raw(i) == name;
    }
    // Index of the first token after the value that begins at i: every
    // token's size counts its direct children, a key's size its one value.
    int skip(int i) const {
        int pending = 1;
        while (pending > 0 && i < static_cast<int>(tok.size())) {
            pending += tok[i].size - 1;
            ++i;
        }
        return i;
    }
    long number(int i) const {
        std::string_view s = raw(i);
        long v = 0;
        std::from_chars(s.data(), s.data() + s.size(), v);
        return v;
    }
    std::string string(int i) const {
        return tok[i].type == JSMN_STRING ? json_unescape(raw(i)) : std::string(raw(i));
    }
};

// Calls visit(key_index, value_index) for each member of the object at i.
template <class Visit>
void for_each_member(const Tokens& t, int obj, Visit visit) {
    int members = t.tok[obj].size;
    int i = obj + 1;
    for (int m = 0; m < members && i + 1 < static_cast<int>(t.tok.size()); ++m) {
        visit(i, i + 1);
        i = t.skip(i + 1);
    }
}

RouteStatus read_route(const Tokens& t, int obj) {
    RouteStatus r;
    for_each_member(t, obj, [&](int k, int v) {
        if (t.is_key(k, "host")) r.host = t.string(v);
        else if (t.is_key(k, "path_prefix")) r.path_prefix = t.string(v);
        else if (t.is_key(k, "target_ip")) r.target_ip = t.string(v);
        else if (t.is_key(k, "target_port")) r.target_port = t.number(v);
        else if (t.is_key(k, "hits")) r.hits = t.number(v);
        else if (t.is_key(k, "errors")) r.errors = t.number(v);
    });
    return r;
}

void read_routes(const Tokens& t, int array, std::vector<RouteStatus>& out) {
    int i = array + 1;
    for (int e = 0; e < t.tok[array].size && i < static_cast<int>(t.tok.size()); ++e) {
        if (t.tok[i].type == JSMN_OBJECT) out.push_back(read_route(t, i));
        i = t.skip(i);
    }
}

void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Four hex digits at s[at]; false when they are not there.
bool read_hex4(std::string_view s, size_t at, unsigned& out) {
    if (at + 4 > s.size()) return false;
    auto [end, ec] = std::from_chars(s.data() + at, s.data() + at + 4, out, 16);
    return ec == std::errc() && end == s.data() + at + 4;
}

// Texts from the report are shown, not obeyed: no control byte reaches the
// terminal. Returns the text with each one replaced by '?'.
std::string printable(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

// Columns a UTF-8 text takes, counting each code point as one.
size_t columns(std::string_view s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The text cut to width columns, never inside a UTF-8 sequence.
std::string fit(std::string s, size_t width) {
    if (width == 0 || columns(s) <= width) return s;
    size_t cols = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
        if (cols == width) {
            s.resize(i);
            break;
        }
        ++cols;
    }
    return s;
}

std::string pad(std::string s, size_t width) {
    size_t cols = columns(s);
    if (cols < width) s.append(width - cols, ' ');
    return s;
}

std::string host_label(const std::string& host) {
    return host.empty() ? "(any)" : printable(host);
}

std::string backend_label(const RouteStatus& r) {
    return printable(r.target_ip) + ":" + std::to_string(r.target_port);
}

std::string ports_label(const ServiceStatus& st, std::string_view separator) {
    std::string s = (st.tls ? "HTTPS :" : "HTTP :") + std::to_string(st.listen_port);
    if (st.redirect_port > 0)
        s += std::string(separator) + "redirect :" + std::to_string(st.redirect_port) +
             " -> HTTPS";
    return s;
}

std::string error_label(const ServiceStatus& st) {
    return st.last_error.empty() ? "(none)" : printable(st.last_error);
}

}  // namespace

std::string json_unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char e = s[i + 1];
        const char* simple = nullptr;
        switch (e) {
            case '"': simple = "\""; break;
            case '\\': simple = "\\"; break;
            case '/': simple = "/"; break;
            case 'b': simple = "\b"; break;
            case 'f': simple = "\f"; break;
            case 'n': simple = "\n"; break;
            case 'r': simple = "\r"; break;
            case 't': simple = "\t"; break;
            default: break;
        }
        if (simple) {
            out += simple;
            ++i;
            continue;
        }
        unsigned cp = 0;
        if (e == 'u' && read_hex4(s, i + 2, cp)) {
            size_t used = 6;
            unsigned low = 0;
            if (cp >= 0xD800 && cp < 0xDC00 && i + 7 < s.size() && s[i + 6] == '\\' &&
                s[i + 7] == 'u' && read_hex4(s, i + 8, low) && low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                used = 12;
            }
            append_utf8(out, cp);
            i += used - 1;
            continue;
        }
        out += s[i];  // malformed: keep the backslash, the next byte follows
    }
    return out;
}

bool parse_status_report(std::string_view report, ServiceStatus& out) {
    Tokens t{report, std::vector<jsmntok_t>(kMaxTokens)};
    jsmn_parser parser;
    jsmn_init(&parser);
    int n = jsmn_parse(&parser, report.data(), report.size(), t.tok.data(), kMaxTokens);
    if (n < 1 || t.tok[0].type != JSMN_OBJECT) return false;
    t.tok.resize(n);

    out = ServiceStatus{};
    bool has_running = false;
    for_each_member(t, 0, [&](int k, int v) {
        if (t.is_key(k, "running")) {
            out.running = t.number(v) != 0;
            has_running = true;
        } else if (t.is_key(k, "tls")) out.tls = t.number(v) != 0;
        else if (t.is_key(k, "listen_port")) out.listen_port = t.number(v);
        else if (t.is_key(k, "redirect_port")) out.redirect_port = t.number(v);
        else if (t.is_key(k, "active_connections")) out.active_connections = t.number(v);
        else if (t.is_key(k, "total_connections")) out.total_connections = t.number(v);
        else if (t.is_key(k, "last_error")) out.last_error = t.string(v);
        else if (t.is_key(k, "routes") && t.tok[v].type == JSMN_ARRAY)
            read_routes(t, v, out.routes);
    });
    return has_running;
}

std::vector<std::string> render_status_block(const ServiceStatus& st, size_t width) {
    std::vector<std::string> lines;
    lines.push_back(std::string("state        ") + (st.running ? "running" : "stopped") +
                    "   " + ports_label(st, "   "));
    lines.push_back("connections  " + std::to_string(st.active_connections) + " open, " +
                    std::to_string(st.total_connections) + " since start");

    size_t host_w = 5, prefix_w = 6, backend_w = 7;
    for (const RouteStatus& r : st.routes) {
        host_w = std::max(host_w, columns(host_label(r.host)));
        prefix_w = std::max(prefix_w, columns(printable(r.path_prefix)));
        backend_w = std::max(backend_w, columns(backend_label(r)));
    }
    host_w = std::min<size_t>(host_w, 24);
    prefix_w = std::min<size_t>(prefix_w, 32);

    char counts[48];
    std::snprintf(counts, sizeof counts, "%8s %8s", "hits", "errors");
    lines.push_back("  " + pad("host", host_w) + "  " + pad("prefix", prefix_w) + "  " +
                    pad("backend", backend_w) + counts);
    for (const RouteStatus& r : st.routes) {
        std::snprintf(counts, sizeof counts, "%8ld %8ld", r.hits, r.errors);
        lines.push_back("  " + pad(fit(host_label(r.host), host_w), host_w) + "  " +
                        pad(fit(printable(r.path_prefix), prefix_w), prefix_w) + "  " +
                        pad(backend_label(r), backend_w) + counts);
    }
    if (st.routes.empty()) lines.push_back("  (no routes)");
    lines.push_back("last error   " + error_label(st));

    for (std::string& line : lines) line = fit(std::move(line), width);
    return lines;
}

std::string render_status_line(const ServiceStatus& st, std::string_view time_of_day) {
    std::string line(time_of_day);
    line += st.running ? " running " : " stopped ";
    line += ports_label(st, ", ");
    line += " | connections " + std::to_string(st.active_connections) + " open, " +
            std::to_string(st.total_connections) + " total |";
    for (size_t i = 0; i < st.routes.size(); ++i) {
        const RouteStatus& r = st.routes[i];
        line += i == 0 ? " " : "; ";
        line += host_label(r.host) + " " + printable(r.path_prefix) + " -> " +
                backend_label(r) + " hits " + std::to_string(r.hits) + " errors " +
                std::to_string(r.errors);
    }
    if (st.routes.empty()) line += " no routes";
    line += " | last error: " + error_label(st);
    return line;
}

}  // namespace host
