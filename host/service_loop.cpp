#include "service_loop.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "status_view.h"
#include "velkor_proxy.h"

namespace host {
namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Waits up to ms for a stop signal; true when one arrived.
bool stop_signal_within(int ms) {
    sigset_t set = stop_signals();
    timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    for (;;) {
        int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig > 0) return true;
        if (errno == EAGAIN) return false;
        // EINTR: another signal was handled; the rest of the wait is not
        // worth tracking for a display refresh.
        if (errno != EINTR) return false;
    }
}

// Columns of the terminal on stdout, less one so that no line wraps and the
// in-place redraw can count its lines; 0 when unknown.
size_t terminal_width() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col < 2) return 0;
    return ws.ws_col - 1;
}

std::string time_of_day() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

class StatusPrinter {
public:
    explicit StatusPrinter(bool json) : json_(json), terminal_(isatty(STDOUT_FILENO)) {}

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

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const std::string& text) {
    std::fprintf(stderr, "velkor-proxy: %s\n", text.c_str());
    std::fflush(stderr);
}

void block_stop_signals() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int run_until_stop_signal(const ViewSettings& view) {
    StatusPrinter printer(view.json);
    printer.show();
    while (!stop_signal_within(view.interval_ms)) printer.show();

    printer.release();
    // On a terminal the echoed ^C sits at the start of the line: clear it.
    std::fputs(isatty(STDERR_FILENO) ? "\r\x1b[Kvelkor-proxy: stopping\n"
                                     : "velkor-proxy: stopping\n", stderr);
    proxy_stop();
    printer.show();
    std::fputs("velkor-proxy: stopped\n", stderr);
    return 0;
}

}  // namespace host
