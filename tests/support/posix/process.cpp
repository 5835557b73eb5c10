#include "support/process.h"

#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace process {
namespace {

int entries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

}  // namespace

int thread_count() { return entries("/proc/self/task"); }

int descriptor_count() {
    int n = entries("/proc/self/fd");
    return n < 0 ? n : n - 1;  // the descriptor of the listing itself
}

bool sees_accepts() { return true; }

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

double cpu_seconds() {
    rusage u{};
    if (getrusage(RUSAGE_SELF, &u) != 0) return -1;
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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

}  // namespace process
