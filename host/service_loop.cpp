#include "service_loop.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <mutex>

#include "metrics_server.h"
#include "platform.h"
#include "program.h"
#include "status_view.h"
#include "velkor_proxy.h"

namespace host {
namespace {

constexpr int kTerminalIntervalMs = 1000;
// Below this many open files, a busy service runs out of descriptors (two
// per relayed connection) long before it runs out of anything else.
constexpr long long kDescriptorsWanted = 65536;
// A log line a second would bury everything else in the journal.
constexpr int kLogIntervalMs = 60 * 1000;

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

const double process_started = now_seconds();
std::atomic<double> proxy_started{0};
std::mutex status_lock;

class StatusPrinter {
public:
    explicit StatusPrinter(bool json) : json_(json), terminal_(stdout_is_terminal()) {}

    void show() {
        std::string report = runtime_status();
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

    // Events that are not errors: a log wants them on stdout, beside the
    // status lines; --json keeps stdout for reports, and at a terminal they
    // stay on stderr below the view, as they always were.
    void event(const std::string& text) const {
        std::FILE* out = json_ || terminal_ ? stderr : stdout;
        std::fprintf(out, "velkor-proxy: %s\n", text.c_str());
        std::fflush(out);
    }

private:
    bool json_;
    bool terminal_;
    size_t drawn_lines_ = 0;
};

// The library serves one configuration per start: a reload is a stop, with
// its drain, then a start. The previous document is the way back when the
// new one is refused. False when neither starts: nothing serves any more.
bool reload(RunSettings& run, const StatusPrinter& printer) {
    std::string doc, error;
    if (!read_file(run.config_path, doc, error)) {
        complain("reload: " + error + "; the running configuration stays");
        return true;
    }
    printer.event("reloading " + run.config_path);
    proxy_stop();
    if (start_proxy(doc)) {
        run.config_doc = doc;
        printer.event("reloaded " + run.config_path);
        return true;
    }
    std::string refused = proxy_last_error();
    if (start_proxy(run.config_doc)) {
        complain("reload: " + run.config_path + " refused: " + refused +
                 "; serving the previous configuration again");
        return true;
    }
    complain("reload: " + run.config_path + " refused: " + refused +
             "; the previous configuration failed to start again too: " + proxy_last_error());
    return false;
}

void stop_and_report(StatusPrinter& printer) {
    printer.release();
    // On a terminal the echoed ^C sits at the start of the line: clear it.
    if (stderr_is_terminal()) std::fputs("\r\x1b[K", stderr);
    printer.event("stopping");
    // The drain can outlast what the system allows: the counters first.
    if (stop_request_is_urgent()) printer.show();
    proxy_stop();
    printer.show();
    printer.event("stopped");
}

}  // namespace

bool start_proxy(const std::string& doc) {
    const long long descriptors = raise_descriptor_limit();
    if (proxy_start(doc.c_str()) != 0) return false;
    proxy_started = now_seconds();
    // Once, and only for a service that runs: a start that fails says why.
    static bool warned = false;
    if (!warned && descriptors >= 0 && descriptors < kDescriptorsWanted) {
        warned = true;
        complain("warning: the open-file limit is " + std::to_string(descriptors) + ", below " +
                 std::to_string(kDescriptorsWanted) + ": at two per relayed connection, about " +
                 std::to_string(descriptors / 2) +
                 " clients at once (raise the hard limit: LimitNOFILE=, ulimit -Hn)");
    }
    return true;
}

double process_start_time() { return process_started; }

double proxy_start_time() { return proxy_started; }

std::string runtime_status() {
    std::lock_guard<std::mutex> hold(status_lock);
    return proxy_runtime_status();
}

std::string time_of_day() {
    std::time_t now = std::time(nullptr);
    std::tm local = local_time(now);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

std::string status_log_line() {
    std::string report = runtime_status();
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

int run_until_stop_signal(RunSettings run) {
    StatusPrinter printer(run.json);
    MetricsServer metrics;
    std::string error;
    if (run.metrics_port > 0 && !metrics.start(run.metrics_address, run.metrics_port, error)) {
        complain("cannot serve metrics on " + run.metrics_address + ":" +
                 std::to_string(run.metrics_port) + ": " + error);
        proxy_stop();
        return 1;
    }
    int interval = run.interval_ms > 0         ? run.interval_ms
                   : stdout_is_terminal()     ? kTerminalIntervalMs
                                              : kLogIntervalMs;
    printer.show();
    for (;;) {
        Request request = wait_for_request(interval);
        if (request == Request::none) {
            printer.show();
        } else if (request == Request::reload && !run.config_path.empty()) {
            printer.release();
            if (!reload(run, printer)) return 1;
            printer.show();
        } else {
            break;
        }
    }
    stop_and_report(printer);
    return 0;
}

}  // namespace host
