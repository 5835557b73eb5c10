#include "net/route_select.h"

#include "net/ascii.h"

namespace {

bool host_passes(std::string_view route_host, std::string_view host_name) {
    return route_host.empty() || route_host == "*" || ascii_iequals(route_host, host_name);
}

// "/api" serves "/api", "/api/x" and "/api?q" but not "/apix".
bool prefix_passes(std::string_view prefix, std::string_view target) {
    if (!target.starts_with(prefix)) return false;
    size_t n = prefix.size();
    if (n < 2 || prefix.back() == '/' || n == target.size()) return true;
    return target[n] == '/' || target[n] == '?';
}

}  // namespace

int select_route(std::span<const Route> routes, std::string_view host_name,
                 std::string_view target) {
    int best = -1;
    size_t best_len = 0;
    for (size_t i = 0; i < routes.size(); ++i) {
        std::string_view host = routes[i].host;
        std::string_view prefix = routes[i].path_prefix;
        if (!host_passes(host, host_name) || !prefix_passes(prefix, target)) continue;
        bool better = best < 0 || prefix.size() > best_len;
        bool wins_tie = best >= 0 && prefix.size() == best_len && !host.empty() &&
                        routes[static_cast<size_t>(best)].host[0] == '\0';
        if (better || wins_tie) {
            best = static_cast<int>(i);
            best_len = prefix.size();
        }
    }
    return best;
}
