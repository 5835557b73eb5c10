#include "metrics.h"

#include <charconv>
#include <cstdio>

// This file's own copy of the tokenizer, in strict mode: the lenient one of
// the status view takes a bare word after a string as a value.
#define JSMN_STRICT
#include <jsmn.h>

#include "status_view.h"

namespace host {
namespace {

// As the status view's parser; sixteen routes need well under this.
constexpr unsigned kMaxTokens = 512;

bool is_strict_json_object(std::string_view report) {
    std::vector<jsmntok_t> tok(kMaxTokens);
    jsmn_parser parser;
    jsmn_init(&parser);
    int n = jsmn_parse(&parser, report.data(), report.size(), tok.data(), kMaxTokens);
    return n >= 1 && tok[0].type == JSMN_OBJECT;
}

// The number after the first key at or after at; at moves past it. -1 when
// the key is not there.
long number_after(std::string_view report, std::string_view key, size_t& at) {
    size_t found = report.find(key, at);
    if (found == std::string_view::npos) return -1;
    at = found + key.size();
    long value = 0;
    auto [end, ec] = std::from_chars(report.data() + at, report.data() + report.size(), value);
    at = static_cast<size_t>(end - report.data());
    return ec == std::errc() ? value : -1;
}

// The counters without the JSON: the head comes before any configuration
// text and each route ends with its counters, in the library's fixed order.
bool read_counters(std::string_view report, ServiceStatus& st) {
    size_t at = 0;
    long running = number_after(report, "\"running\":", at);
    if (running < 0) return false;
    st.running = running != 0;
    st.active_connections = number_after(report, "\"active_connections\":", at);
    st.total_connections = number_after(report, "\"total_connections\":", at);
    for (;;) {
        RouteStatus r;
        r.hits = number_after(report, ",\"hits\":", at);
        r.errors = number_after(report, ",\"errors\":", at);
        if (r.hits < 0 || r.errors < 0) return true;
        st.routes.push_back(r);
    }
}

// Labels need the JSON; counters come from it too when it agrees with the
// plain reading, which is the fallback otherwise.
bool read_report(std::string_view report, ServiceStatus& st, bool& labelled) {
    ServiceStatus plain;
    if (!read_counters(report, plain)) return false;
    labelled = is_strict_json_object(report) && parse_status_report(report, st) &&
               st.routes.size() == plain.routes.size();
    if (!labelled) st = plain;
    return true;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const char* name, const std::string& labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.15g", value);
    out += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
}

std::string label(const char* name, std::string_view value) {
    return std::string(name) + "=\"" + escape_label_value(value) + "\"";
}

std::string route_labels(const RouteStatus& r, size_t index, bool labelled) {
    std::string s = label("route", std::to_string(index));
    if (!labelled) return s;
    return s + "," + label("host", r.host) + "," + label("prefix", r.path_prefix) + "," +
           label("backend", r.target_ip + ":" + std::to_string(r.target_port));
}

void route_families(std::string& out, const ServiceStatus& st, bool labelled) {
    family(out, "velkor_proxy_route_hits_total", "counter",
           "Backend connections made for each route since the proxy started.");
    for (size_t i = 0; i < st.routes.size(); ++i)
        sample(out, "velkor_proxy_route_hits_total", route_labels(st.routes[i], i, labelled),
               static_cast<double>(st.routes[i].hits));
    family(out, "velkor_proxy_route_errors_total", "counter",
           "Backend connections of each route that could not be made, since the proxy "
           "started.");
    for (size_t i = 0; i < st.routes.size(); ++i)
        sample(out, "velkor_proxy_route_errors_total", route_labels(st.routes[i], i, labelled),
               static_cast<double>(st.routes[i].errors));
}

}  // namespace

std::string escape_label_value(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string render_metrics(std::string_view report, const MetricsContext& ctx) {
    ServiceStatus st;
    bool labelled = false;
    bool readable = read_report(report, st, labelled);
    std::string out;
    family(out, "velkor_proxy_running", "gauge", "1 while the proxy serves, else 0.");
    sample(out, "velkor_proxy_running", "", readable && st.running ? 1 : 0);
    family(out, "velkor_proxy_process_start_time_seconds", "gauge",
           "Start time of the program in seconds since the epoch.");
    sample(out, "velkor_proxy_process_start_time_seconds", "", ctx.process_start);
    if (ctx.proxy_start > 0) {
        family(out, "velkor_proxy_start_time_seconds", "gauge",
               "Last start (or reload) of the proxy in seconds since the epoch; the "
               "counters begin at zero there.");
        sample(out, "velkor_proxy_start_time_seconds", "", ctx.proxy_start);
    }
    if (readable) {
        family(out, "velkor_proxy_connections_active", "gauge", "Client connections open now.");
        sample(out, "velkor_proxy_connections_active", "",
               static_cast<double>(st.active_connections));
        family(out, "velkor_proxy_connections_total", "counter",
               "Client connections accepted since the proxy started.");
        sample(out, "velkor_proxy_connections_total", "",
               static_cast<double>(st.total_connections));
        route_families(out, st, labelled);
    }
    family(out, "velkor_proxy_build_info", "gauge", "Versions of the program and the library.");
    sample(out, "velkor_proxy_build_info",
           label("version", ctx.host_version) + "," + label("library_version", ctx.library_version),
           1);
    return out;
}

}  // namespace host
