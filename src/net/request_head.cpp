#include "net/request_head.h"

#include <cstring>

#include "net/ascii.h"
#include "state.h"

namespace {

std::string_view trim_trailing_blanks(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The target of the request line, which the reader checked: method, one
// blank, the target, one blank, the version.
std::string_view request_target(std::string_view line) {
    size_t begin = line.find(' ') + 1;
    return line.substr(begin, line.find(' ', begin) - begin);
}

// "http://authority/path?query" (RFC 9112 3.2.2): routed as a server would,
// by the authority and the path. The scheme is compared in any case.
bool absolute_form(std::string_view target, std::string_view& authority,
                   std::string_view& path) {
    size_t scheme_end = ascii_istarts_with(target, "http://")    ? 7
                        : ascii_istarts_with(target, "https://") ? 8
                                                                 : 0;
    if (scheme_end == 0) return false;
    std::string_view rest = target.substr(scheme_end);
    size_t end = rest.find_first_of("/?#");
    authority = rest.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    return true;
}

// The host name routed on: the value without its port.
void set_host_name(RequestHead& out) {
    size_t name_len = strcspn(out.host_value, ":");
    copy_text(out.host_name, sizeof out.host_name, out.host_value, name_len);
}

}  // namespace

size_t leading_empty_lines(std::string_view buf) {
    size_t n = 0;
    while (buf.substr(n, 2) == "\r\n") n += 2;
    return n;
}

bool examine_request_head(const char* buf, size_t start, size_t head_len, uint32_t flags,
                          RequestHead& out) {
    out.start = start;
    out.head_len = head_len;
    out.flags = flags;
    std::string_view head(buf + start, head_len - start);
    std::string_view target = request_target(head.substr(0, head.find("\r\n")));
    header_get(buf + start, out.host_value);

    std::string_view authority, path;
    if (!absolute_form(target, authority, path)) {
        copy_text(out.target, sizeof out.target, target.data(), target.size());
        set_host_name(out);
        return true;
    }
    // An authority the Host line contradicts would be read one way here and
    // another way by a backend that takes the Host line.
    if (authority.empty() || authority.find('@') != std::string_view::npos) return false;
    if ((flags & kH1Host) && !ascii_iequals(trim_trailing_blanks(out.host_value), authority)) {
        return false;
    }
    if (path.empty() || path[0] != '/') {
        // "http://a.example" and "http://a.example?q" ask for the root.
        out.target[0] = '/';
        copy_text(out.target + 1, sizeof out.target - 1, path.data(), path.size());
    } else {
        copy_text(out.target, sizeof out.target, path.data(), path.size());
    }
    copy_text(out.host_value, sizeof out.host_value, authority.data(), authority.size());
    set_host_name(out);
    return true;
}
