// Choosing the route for a request: a pure function of the table, the host
// name and the target, so it can be tested and fuzzed on its own.
#pragma once

#include <span>
#include <string_view>

#include "state.h"

// Index into `routes` of the route that serves host_name and target, or -1.
// A route qualifies when its host is empty, "*" or equal to host_name in any
// ASCII case, its path_prefix is a case-sensitive prefix of target, and the
// prefix ends on a path boundary (prefix shorter than 2 bytes or ending in
// '/', or followed in target by '/', '?' or the end). The longest prefix
// wins; among equal lengths the first stays, unless a later route names a
// host (or "*") where the best so far has an empty host.
int select_route(std::span<const Route> routes, std::string_view host_name,
                 std::string_view target);
