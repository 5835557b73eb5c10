// ASCII-only letter-case helpers. HTTP header names and host names compare
// without regard to ASCII case (RFC 9110 5.1, RFC 3986 3.2.2); the locale must
// never change that, so <cctype> and strcasecmp are not used.
#pragma once

#include <string_view>

inline char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

inline bool ascii_istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && ascii_iequals(s.substr(0, prefix.size()), prefix);
}
