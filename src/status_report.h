// The one-line JSON status report.
#pragma once

#include <cstddef>

#include "state.h"

constexpr size_t kStatusCapacity = 8192;

// Formats the report of st and last_error into buf (cap bytes, at least 1),
// always NUL-terminated and always well-formed JSON. Returns its length.
size_t format_status_report(const ProxyState& st, const char* last_error,
                            char* buf, size_t cap);
