// What the process holds, for tests that must leave nothing behind: open
// descriptors, threads and resident memory (support/process.h). Also the
// checks and limits that the fault and load tests share.
#pragma once

#include <string>

// Sanitizer builds make every thread and socket cost more, so the load tests
// run at a smaller scale there. GCC defines the first two macros; clang
// answers through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELKOR_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELKOR_TEST_SANITIZED 1
#endif
#endif

namespace resources {

#ifdef VELKOR_TEST_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Wine makes every loopback exchange some 25 times slower than Linux does, so
// the Windows build runs the load tests at the sanitizer builds' scale.
#ifdef _WIN32
constexpr bool kSmallScale = true;
#else
constexpr bool kSmallScale = kSanitized;
#endif

// Picks the full figure in a normal build and the small one under a
// sanitizer or on Windows.
constexpr int scaled(int full, int sanitized) { return kSmallScale ? sanitized : full; }

struct Usage {
    int descriptors = 0;  // open descriptors (Windows: open sockets)
    int threads = 0;      // threads of the process
    long rss_kib = 0;     // resident set (Windows: working set)
};

Usage usage();
long rss_kib();

// "fds 12, threads 3, rss 10240 KiB", for figures in the test output.
std::string describe(const Usage& u);

// Waits until the process holds at most the descriptors and threads of
// `before` (a detached thread may take a moment to vanish from /proc).
bool wait_back_to(const Usage& before, int timeout_ms);

// Raises the soft descriptor limit to the hard one; returns the new soft limit.
long raise_descriptor_limit();

// True when SIGPIPE would kill this process: its action is the default and
// the calling thread does not block it. The library must never rely on the
// host ignoring it, so the tests run with it armed.
bool sigpipe_is_fatal();

// Prints one line of figures to the test output and records it as a test
// property, so it shows in ctest's log and in the XML report.
void report_figure(const std::string& key, const std::string& value);

}  // namespace resources
