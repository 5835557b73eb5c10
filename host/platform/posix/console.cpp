// Stop signals, terminal detection, files and local time on Linux.
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform.h"

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

}  // namespace

// Blocked before any thread exists, so every thread (the library's included)
// inherits the mask and only wait_for_request takes the signals.
void install_stop_request_handling() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// At a terminal a hang-up means the terminal went away: stop, as always.
// Without one (under systemd, stdin is /dev/null) SIGHUP is the customary
// request to re-read the configuration.
Request wait_for_request(int ms) {
    sigset_t set = stop_signals();
    timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    for (;;) {
        int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig == SIGHUP && !isatty(STDIN_FILENO)) return Request::reload;
        if (sig > 0) return Request::stop;
        if (errno == EAGAIN) return Request::none;
        // EINTR: another signal was handled; the rest of the wait is not
        // worth tracking for a display refresh.
        if (errno != EINTR) return Request::none;
    }
}

// A signal gives as much time as the stop takes.
bool stop_request_is_urgent() { return false; }

std::FILE* open_file(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool stdout_is_terminal() { return isatty(STDOUT_FILENO); }

bool stderr_is_terminal() { return isatty(STDERR_FILENO); }

size_t terminal_width() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col < 2) return 0;
    return ws.ws_col - 1;
}

std::tm local_time(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

}  // namespace host
