// The configuration reader over whole documents: it must never read or write
// out of bounds, and a document it accepts must leave a usable route table.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"

static ProxyState st;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string doc(reinterpret_cast<const char*>(data), size);  // NUL-terminated
    char cert[kPathCapacity];
    char key[kPathCapacity];
    clear_state(st);
    bool ok = parse_config(doc.c_str(), st, cert, key);
    if (strnlen(g_err, kErrorCapacity) >= kErrorCapacity) abort();
    if (!ok) return 0;
    if (st.route_count < 1 || st.route_count > kMaxRoutes) abort();
    if (st.tls_enabled != (cert[0] != '\0')) abort();
    if (st.tls_enabled && key[0] == '\0') abort();
    for (int i = 0; i < st.route_count; ++i) {
        const Route& r = st.routes[i];
        if (r.target_port <= 0 || r.path_prefix[0] == '\0' || r.target_ip[0] == '\0') abort();
        if (strnlen(r.host, sizeof r.host) == sizeof r.host) abort();
    }
    return 0;
}
