#include "support/resources.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "support/loopback.h"
#include "support/ports.h"
#include "support/process.h"

namespace resources {

long rss_kib() { return process::rss_kib(); }

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

long raise_descriptor_limit() { return process::raise_descriptor_limit(); }

bool sigpipe_is_fatal() { return process::sigpipe_is_fatal(); }

void report_figure(const std::string& key, const std::string& value) {
    std::printf("[  FIGURE  ] %s: %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
    ::testing::Test::RecordProperty(key, value);
}

}  // namespace resources
