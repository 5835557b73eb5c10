// The platform layer's timed waits keep their deadline on the monotonic
// clock: a stream of signals (each one interrupts the wait) neither
// stretches nor shortens them.
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "platform/thread.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 300;

extern "C" void ignore_signal(int) {}

// Runs `wait` on a thread of its own, interrupting it with a signal every
// 10 ms, and returns how long it took.
std::chrono::milliseconds time_under_signals(const std::function<void()>& wait) {
    struct sigaction sa {};
    sa.sa_handler = ignore_signal;  // no SA_RESTART: every signal breaks the wait
    struct sigaction old {};
    sigaction(SIGUSR1, &sa, &old);
    std::atomic<bool> finished{false};
    auto begin = Clock::now();
    std::thread waiter([&] {
        wait();
        finished = true;
    });
    while (!finished && Clock::now() - begin < std::chrono::seconds(5)) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    waiter.join();
    sigaction(SIGUSR1, &old, nullptr);
    return took;
}

TEST(PlatformWaits, TimedWaitsHoldTheirDeadlineUnderAStreamOfSignals) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    loopback::Fd a(pair[0]), b(pair[1]);
    std::atomic<int> word{0};
    std::atomic<int> release{0};
    plat::Thread sleeper;  // runs until released
    ASSERT_TRUE(sleeper.start(
        [](void* r) { plat::wait_on_word(*static_cast<std::atomic<int>*>(r), 0, -1); }, &release,
        65536));

    struct Case {
        const char* name;
        std::function<void()> wait;
    };
    const Case cases[] = {
        {"socket wait", [&] { EXPECT_EQ(plat::wait_readable(a.get(), kTimeoutMs), plat::Wait::kTimeout); }},
        {"word wait", [&] { EXPECT_FALSE(plat::wait_on_word(word, 0, kTimeoutMs)); }},
        {"timed join", [&] { EXPECT_FALSE(sleeper.join_for(kTimeoutMs)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto took = time_under_signals(c.wait);
        EXPECT_GE(took.count(), kTimeoutMs - 5);
        EXPECT_LT(took.count(), kTimeoutMs + 500);
    }
    release = 1;
    plat::wake_word(&release);
    EXPECT_TRUE(sleeper.join_for(-1));
}

}  // namespace
