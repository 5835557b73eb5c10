#include "support/resources.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/loopback.h"
#include "support/ports.h"

namespace resources {

long rss_kib() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long size = 0;
    long resident = 0;
    int got = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    if (got != 2) return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

Usage usage() {
    Usage u;
    u.descriptors = ports::open_descriptor_count();
    u.threads = loopback::thread_count();
    u.rss_kib = rss_kib();
    return u;
}

std::string describe(const Usage& u) {
    return "fds " + std::to_string(u.descriptors) + ", threads " + std::to_string(u.threads) +
           ", rss " + std::to_string(u.rss_kib) + " KiB";
}

bool wait_back_to(const Usage& before, int timeout_ms) {
    return loopback::wait_until(
        [&] {
            Usage now = usage();
            return now.descriptors <= before.descriptors && now.threads <= before.threads;
        },
        timeout_ms);
}

long raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
    }
    return static_cast<long>(lim.rlim_cur);
}

bool sigpipe_is_fatal() {
    struct sigaction action {};
    sigset_t blocked;
    if (sigaction(SIGPIPE, nullptr, &action) != 0) return false;
    if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0) return false;
    return action.sa_handler == SIG_DFL && !sigismember(&blocked, SIGPIPE);
}

void report_figure(const std::string& key, const std::string& value) {
    std::printf("[  FIGURE  ] %s: %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
    ::testing::Test::RecordProperty(key, value);
}

}  // namespace resources
