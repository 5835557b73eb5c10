// The runtime status report as Prometheus metrics (text format 0.0.4).
#pragma once

#include <string>
#include <string_view>

namespace host {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// What the report does not tell: versions and start times (seconds since the
// epoch; a proxy start time of 0 is left out).
struct MetricsContext {
    std::string host_version;
    std::string library_version;
    double process_start = 0;
    double proxy_start = 0;
};

// A label value as the format wants it: backslash, double quote and newline
// escaped.
std::string escape_label_value(std::string_view value);

// The metrics page for one status report. A report that cannot be read as
// JSON (the library does not escape configuration texts) still gives every
// counter, its routes labelled by index alone.
std::string render_metrics(std::string_view report, const MetricsContext& ctx);

}  // namespace host
