// Running a started service in the foreground: the status view, the stop
// signals and the clean stop.
#pragma once

#include <string>

namespace host {

struct ViewSettings {
    int interval_ms = 1000;
    bool json = false;   // raw report lines
};

// Makes the stop requests (SIGINT, SIGTERM and SIGHUP on Linux; Ctrl-C,
// Ctrl-Break and closing the console on Windows) reach only
// run_until_stop_signal, which waits for them. Called before any thread
// exists.
void block_stop_signals();

// Shows the runtime status every interval until a stop signal arrives, then
// stops the service and shows the final status. Returns the exit code (0).
int run_until_stop_signal(const ViewSettings& view);

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
