// Running a started service in the foreground: the status view, the stop and
// reload requests, the metrics listener and the clean stop.
#pragma once

#include <string>

namespace host {

struct RunSettings {
    int interval_ms = 0;   // between status refreshes; 0: 1 s on a terminal, else 60 s
    bool json = false;     // raw report lines
    std::string metrics_address;
    int metrics_port = 0;  // 0: no metrics listener
    std::string config_path;  // empty (the demo): a reload request stops instead
    std::string config_doc;   // the document the proxy was started with
};

// Makes the stop requests (SIGINT, SIGTERM and SIGHUP on Linux; Ctrl-C,
// Ctrl-Break and closing the console on Windows) reach only
// run_until_stop_signal, which waits for them. Called before any thread
// exists.
void block_stop_signals();

// Shows the runtime status every interval and reloads on request until a
// stop request arrives, then stops the service and shows the final status.
// Returns the exit code: 0, or 1 when a reload left nothing running or the
// metrics listener could not start.
int run_until_stop_signal(RunSettings run);

// proxy_start, noting the time for the metrics; true when it started.
bool start_proxy(const std::string& doc);

// Seconds since the epoch of the program's start and of the proxy's last
// start (0 before the first).
double process_start_time();
double proxy_start_time();

// proxy_runtime_status for any thread: the library rewrites one buffer on
// every call, so the program's calls take turns.
std::string runtime_status();

// The local time of day as HH:MM:SS.
std::string time_of_day();

// The runtime status as one plain line for a log, starting with the time of
// day; the raw report when it cannot be read.
std::string status_log_line();

// Prints one line to stdout and flushes it, so a pipe sees it at once.
void say(const std::string& line);

// Prints "velkor-proxy: " and the text to stderr.
void complain(const std::string& text);

}  // namespace host
