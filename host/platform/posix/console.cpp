// Stop signals, the descriptor limit, terminal detection, files and local
// time on Linux.
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
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

// systemd starts services with a soft limit of 1024 for the sake of programs
// that still use select(), and asks those that do not to raise it
// themselves (systemd.exec(5), LimitNOFILE=). Nothing here uses select().
// The unit's SystemCallFilter=~@resources denies the setrlimit system call,
// but glibc's setrlimit makes the prlimit64 call, which @system-service
// allows and @resources does not hold.
long long raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised{lim.rlim_max, lim.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return static_cast<long long>(lim.rlim_cur);
}

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
