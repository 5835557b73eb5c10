// Starting and stopping over and over holds nothing: after a thousand
// cycles, plain and TLS alternately, the process has no more descriptors,
// threads or resident memory than after the warm-up. A second test does the
// same with a connection served in every cycle.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/any_client.h"
#include "support/event_backend.h"
#include "support/guarded_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using resources::report_figure;

constexpr long kRssSlackKib = 2048;

class ResourceCycles : public hardening::GuardedService {
protected:
    // listen_port 0: the socket layer picks a free port at every start.
    static std::string doc(int backend_port, const std::string& extra) {
        return "{\"listen_port\":0" + extra + ",\"routes\":[{\"target_port\":" +
               std::to_string(backend_port) + "}]}";
    }

    // Runs `cycles` cycles after `warm_up` ones and checks the process holds
    // no more afterwards than after the warm-up.
    void run_cycles(const char* figure, int warm_up, int cycles,
                    const std::function<void(int)>& cycle) {
        for (int i = 0; i < warm_up && !HasFatalFailure(); ++i) cycle(i);
        const resources::Usage warm = resources::usage();
        const auto begin = Clock::now();
        for (int i = 0; i < cycles && !HasFatalFailure(); ++i) cycle(warm_up + i);
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(resources::wait_back_to(warm, loopback::kWaitMs));
        const resources::Usage after = resources::usage();
        EXPECT_LE(after.descriptors, warm.descriptors);
        EXPECT_LE(after.threads, warm.threads);
        // AddressSanitizer holds freed memory in quarantine, so resident
        // memory grows there whatever the code does; its leak check covers it.
        if (!resources::kSanitized) {
            EXPECT_LT(after.rss_kib - warm.rss_kib, kRssSlackKib)
                << "warm: " << resources::describe(warm) << "; after: " << resources::describe(after);
        }
        const std::string prefix = std::string("resource.") + figure + ".";
        report_figure(prefix + "cycles", std::to_string(cycles) + " in " + std::to_string(seconds) + " s");
        report_figure(prefix + "after_warm_up", resources::describe(warm));
        report_figure(prefix + "after_cycles", resources::describe(after));
    }
};

TEST_F(ResourceCycles, ThousandStartStopCyclesHoldNothing) {
    const std::string plain = doc(9, "");
    const std::string tls = doc(9, tls_members());
    run_cycles("start_stop", 50, 1000, [&](int i) {
        const std::string& d = i % 2 ? tls : plain;
        ASSERT_EQ(proxy_start(d.c_str()), 0) << proxy_last_error();
        ASSERT_EQ(g.tls_ready, i % 2);
        ASSERT_EQ(proxy_stop(), 0);
    });
}

// Every cycle serves one connection, plain and TLS alternately, through a
// backend that needs no thread per connection (a thread per connection that
// is joined only at the end would itself hold a stack per cycle). Every
// other TLS client is still connected when the stop comes and leaves while
// the stop waits for it; the other clients leave first, and the stop finds
// no connection.
TEST_F(ResourceCycles, CyclesWithTrafficHoldNothing) {
    constexpr size_t kBytes = 1024;
    loadtest::EventBackend plain_backend({kBytes, kBytes}, "http");
    loadtest::EventBackend tls_backend({kBytes, kBytes}, "https");
    const std::string plain = doc(plain_backend.port(), "");
    const std::string tls = doc(tls_backend.port(), tls_members());
    int cycles = 0;
    run_cycles("with_traffic", 20, resources::scaled(200, 80), [&](int i) {
        bool secure = i % 2;
        ASSERT_EQ(proxy_start((secure ? tls : plain).c_str()), 0) << proxy_last_error();
        // The configured port is 0; the listening socket knows the real one.
        auto c = std::make_unique<anyclient::Client>(secure, plat::socket_local_port(g.listen_sock));
        ASSERT_TRUE(c->connected());
        ASSERT_TRUE(c->send(loadtest::load_head(i)));
        ASSERT_TRUE(c->upload(loadtest::up_seed(i), kBytes));
        ASSERT_EQ(c->recv_head(), loadtest::kLoadSwitching);
        ASSERT_EQ(c->download(loadtest::down_seed(i), kBytes), kBytes);
        if (i % 4 != 3) {
            c.reset();
            ASSERT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
            ASSERT_EQ(proxy_stop(), 0);
        } else {
            // The backend may have ended the connection already, and the stop
            // then ends at once.
            std::atomic<bool> stopped{false};
            std::thread stopper([&] {
                proxy_stop();
                stopped = true;
            });
            EXPECT_TRUE(loopback::wait_until(
                [&] { return g.stop_requested.is_set() || stopped.load(); }));
            c.reset();
            stopper.join();
        }
        ASSERT_EQ(g.active_connections.load(), 0);
        ++cycles;
    });
    EXPECT_TRUE(loopback::wait_until(
        [&] { return plain_backend.open() == 0 && tls_backend.open() == 0; }));
    EXPECT_EQ(plain_backend.verified() + tls_backend.verified(), cycles);
    EXPECT_EQ(plain_backend.failed() + tls_backend.failed(), 0)
        << plain_backend.first_failure() << tls_backend.first_failure();
}

}  // namespace
