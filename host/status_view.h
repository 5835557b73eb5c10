// Reading the library's one-line JSON status report and showing it to a person.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

struct RouteStatus {
    std::string host;
    std::string path_prefix;
    std::string target_ip;
    long target_port = 0;
    long hits = 0;
    long errors = 0;
};

struct ServiceStatus {
    bool running = false;
    bool tls = false;
    long listen_port = 0;
    long redirect_port = 0;
    long active_connections = 0;
    long total_connections = 0;
    std::vector<RouteStatus> routes;
    std::string last_error;
};

// Parses a report into out. Keys it does not know are skipped; a missing
// counter reads as 0. False when the text is not a JSON object or has no
// "running" key, so a caller can fall back to showing the raw line.
bool parse_status_report(std::string_view report, ServiceStatus& out);

// Decodes the escapes of a JSON string body (without its quotes): \" \\ \/
// \b \f \n \r \t and \uXXXX (as UTF-8, surrogate pairs joined). A malformed
// escape is kept as written.
std::string json_unescape(std::string_view body);

// The multi-line view for a terminal, one entry per line, each cut to width
// columns (0: no cut). Texts from the report have control bytes replaced, so
// nothing in them can move the cursor.
std::vector<std::string> render_status_block(const ServiceStatus& st, size_t width);

// One plain line for logs and pipes, prefixed with the time of day (HH:MM:SS).
std::string render_status_line(const ServiceStatus& st, std::string_view time_of_day);

}  // namespace host
