// The status report over arbitrary configuration texts and counters: it must
// always be one well-formed JSON value that fits its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "status_report.h"
#include "support/json_check.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;

    int number() {
        uint32_t v = 0;
        for (int i = 0; i < 4 && size > 0; ++i, ++data, --size) v = v * 256 + *data;
        return static_cast<int>(v);
    }
    // A text of a length taken from the input, up to cap - 1 bytes, without NUL.
    void text(char* dst, size_t cap) {
        size_t len = size > 0 ? *data++ : 0;
        if (size > 0) --size;
        len = len * 2 % cap;
        if (len > size) len = size;
        size_t n = 0;
        for (size_t i = 0; i < len; ++i) {
            if (data[i] != 0) dst[n++] = static_cast<char>(data[i]);
        }
        dst[n] = '\0';
        data += len;
        size -= len;
    }
};

ProxyState st;
char err[kErrorCapacity];
char report[kStatusCapacity];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    clear_state(st);
    st.running = in.number() & 1;
    st.tls_enabled = in.number();
    st.listen_port = in.number();
    st.redirect_port = in.number();
    st.active_connections = in.number();
    st.total_connections = in.number();
    st.route_count = static_cast<int>(static_cast<unsigned>(in.number()) % (kMaxRoutes + 1));
    for (int i = 0; i < st.route_count; ++i) {
        Route& r = st.routes[i];
        in.text(r.host, sizeof r.host);
        in.text(r.path_prefix, sizeof r.path_prefix);
        in.text(r.target_ip, sizeof r.target_ip);
        r.target_port = in.number();
        r.hits = in.number();
        r.errors = in.number();
    }
    in.text(err, sizeof err);
    size_t n = format_status_report(st, err, report, sizeof report);
    if (n > kStatusCapacity - 1 || strlen(report) != n) abort();
    if (!jsoncheck::is_valid(std::string_view(report, n))) abort();
    return 0;
}
