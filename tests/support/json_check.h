// A strict JSON validity check for tests that must prove a text is JSON.
#pragma once

#include <string_view>

namespace jsoncheck {

// True when text is exactly one JSON value (RFC 8259 grammar), with optional
// white space around it. Strings may hold any byte from 0x20 up, so UTF-8 is
// not checked; control bytes, bare quotes and bad escapes are rejected.
bool is_valid(std::string_view text);

}  // namespace jsoncheck
