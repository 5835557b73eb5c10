#include "net/head_rewrite.h"

#include <cstring>

#include "net/ascii.h"

namespace {

// Names compared as a gateway's environment sees them: any case, '_' for '-'.
bool same_field_name(std::string_view name, std::string_view lower_dashed) {
    if (name.size() != lower_dashed.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i] == '_' ? '-' : ascii_lower(name[i]);
        if (c != lower_dashed[i]) return false;
    }
    return true;
}

bool is_dropped(std::string_view line, bool drop_upgrade) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;  // the request line
    std::string_view name = line.substr(0, colon);
    if (same_field_name(name, "x-forwarded-for") || same_field_name(name, "x-forwarded-proto") ||
        same_field_name(name, "x-forwarded-host")) {
        return true;
    }
    return drop_upgrade &&
           (ascii_iequals(name, "upgrade") || ascii_iequals(name, "http2-settings"));
}

}  // namespace

size_t rewrite_head(std::string_view head, bool drop_upgrade, const char* client_ip,
                    const char* scheme, const char* host_value, std::span<char> out) {
    size_t head_end = head.size() >= 2 ? head.size() - 2 : 0;
    size_t len = 0;
    // Appends s; false when out has no room for it.
    auto append = [&](std::string_view s) {
        if (s.size() > out.size() - len) return false;
        memcpy(out.data() + len, s.data(), s.size());
        len += s.size();
        return true;
    };
    bool request_line = true;
    for (size_t pos = 0; pos < head_end;) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) break;
        std::string_view line = head.substr(pos, end + 2 - pos);
        pos = end + 2;
        if (!request_line && is_dropped(line, drop_upgrade)) continue;
        request_line = false;
        if (!append(line)) return 0;
    }
    const bool ok = append("X-Forwarded-For: ") && append(client_ip) &&
                    append("\r\nX-Forwarded-Proto: ") && append(scheme) &&
                    append("\r\nX-Forwarded-Host: ") && append(host_value[0] ? host_value : "-") &&
                    append("\r\n\r\n");
    return ok ? len : 0;
}
