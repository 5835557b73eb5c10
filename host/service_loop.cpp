#include "service_loop.h"

#include <ctime>
#include <cstdio>

#include "platform.h"
#include "status_view.h"
#include "velkor_proxy.h"

namespace host {
namespace {

class StatusPrinter {
public:
    explicit StatusPrinter(bool json) : json_(json), terminal_(stdout_is_terminal()) {}

    void show() {
        std::string report = proxy_runtime_status();
        ServiceStatus st;
        if (json_ || !parse_status_report(report, st)) {
            say(report);
            return;
        }
        if (!terminal_) {
            say(render_status_line(st, time_of_day()));
            return;
        }
        // Redraw in place: back over the previous block, clear to the end.
        std::string out;
        if (drawn_lines_ > 0) out = "\x1b[" + std::to_string(drawn_lines_) + "A\r\x1b[J";
        std::vector<std::string> lines = render_status_block(st, terminal_width());
        for (const std::string& line : lines) out += line + "\n";
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
        drawn_lines_ = lines.size();
    }

    // Later output goes below the block instead of over it.
    void release() { drawn_lines_ = 0; }

private:
    bool json_;
    bool terminal_;
    size_t drawn_lines_ = 0;
};

}  // namespace

std::string time_of_day() {
    std::time_t now = std::time(nullptr);
    std::tm local = local_time(now);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

std::string status_log_line() {
    std::string report = proxy_runtime_status();
    ServiceStatus st;
    return parse_status_report(report, st) ? render_status_line(st, time_of_day()) : report;
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const std::string& text) {
    std::fprintf(stderr, "velkor-proxy: %s\n", text.c_str());
    std::fflush(stderr);
}

void block_stop_signals() { install_stop_request_handling(); }

int run_until_stop_signal(const ViewSettings& view) {
    StatusPrinter printer(view.json);
    printer.show();
    while (!wait_for_stop_request(view.interval_ms)) printer.show();

    printer.release();
    // On a terminal the echoed ^C sits at the start of the line: clear it.
    std::fputs(stderr_is_terminal() ? "\r\x1b[Kvelkor-proxy: stopping\n"
                                     : "velkor-proxy: stopping\n", stderr);
    // The drain can outlast what the system allows: the counters first.
    if (stop_request_is_urgent()) printer.show();
    proxy_stop();
    printer.show();
    std::fputs("velkor-proxy: stopped\n", stderr);
    return 0;
}

}  // namespace host
