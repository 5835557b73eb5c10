#include "net/request_head.h"

#include <cstring>

#include "state.h"

bool has_bare_line_break(std::string_view head) {
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return true;
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return true;
    }
    return false;
}

HeadStatus parse_request_head(const char* buf, RequestHead& out) {
    const char* marker = strstr(buf, "\r\n\r\n");
    if (!marker) return HeadStatus::kIncomplete;
    out.head_len = static_cast<size_t>(marker - buf) + 4;
    if (has_bare_line_break(std::string_view(buf, out.head_len))) return HeadStatus::kMalformed;

    const char* method_end = strchr(buf, ' ');
    if (!method_end || static_cast<size_t>(method_end - buf) > kMethodMax) {
        return HeadStatus::kMalformed;
    }
    const char* target = method_end + 1;
    const char* target_end = strchr(target, ' ');
    if (!target_end) return HeadStatus::kMalformed;
    copy_text(out.target, sizeof out.target, target, static_cast<size_t>(target_end - target));

    header_get(buf, out.host_value);
    size_t name_len = strcspn(out.host_value, ":");
    copy_text(out.host_name, sizeof out.host_name, out.host_value, name_len);
    return HeadStatus::kComplete;
}
