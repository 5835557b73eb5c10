// Thousands of connections relaying at once through the running service,
// every byte checked at both ends and the counters exact afterwards; and a
// stop in the middle of such a load. The clients and the backend are each
// one event loop, so the threads in the process are the proxy's own.
// Slow: a few seconds each (the sanitizer and Windows builds run them at a
// tenth).
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/event_backend.h"
#include "support/guarded_service.h"
#include "support/load_clients.h"

namespace {

using loadtest::ClientPlan;
using loadtest::ClientReport;
using loadtest::EventBackend;
using loadtest::kEndless;
using loadtest::LoadClients;
using loadtest::StreamSizes;
using resources::report_figure;
using resources::scaled;

using Clock = std::chrono::steady_clock;

constexpr size_t kStreamBytes = 64u << 10;  // each way, per connection

struct LoadCase {
    const char* name;
    bool tls;
    int connections;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class Load : public hardening::GuardedService,
             public ::testing::WithParamInterface<LoadCase> {
protected:
    bool start_for(const LoadCase& c, const EventBackend& backend) {
        std::vector<nettest::RouteSpec> routes = {{"", "/load", backend.port()}};
        return c.tls ? start_tls(routes) : start(routes);
    }

    // A plan whose barrier opens once the proxy relays every connection;
    // it notes the process's threads at that moment.
    ClientPlan plan_for(const LoadCase& c, StreamSizes sizes, const EventBackend& backend) {
        ClientPlan plan;
        plan.port = port_;
        plan.connections = c.connections;
        plan.sizes = sizes;
        plan.tls = c.tls;
        plan.proxy_accepted = [] { return g.total_connections.load(); };
        plan.all_relaying = [this, &backend, n = c.connections] {
            if (g.active_connections.load() != n || backend.accepted() != n) return false;
            peak_threads_ = loopback::thread_count();
            return true;
        };
        return plan;
    }

    std::string prefix() const { return std::string("load.") + GetParam().name + "."; }

    // The process before the test and after everything of it has ended.
    void TearDown() override {
        hardening::GuardedService::TearDown();
        report_figure(prefix() + "usage_before", resources::describe(before_));
        report_figure(prefix() + "usage_after", resources::describe(resources::usage()));
    }

    int peak_threads_ = 0;
};

// Every connection is open and relaying at once (the clients' barrier),
// then each moves 64 KiB each way; both ends check every byte.
TEST_P(Load, EveryByteArrivesAndTheCountersAreExact) {
    const LoadCase& c = GetParam();
    const StreamSizes sizes{kStreamBytes, kStreamBytes};
    EventBackend backend(sizes, c.tls ? "https" : "http");
    ASSERT_GT(backend.port(), 0);
    ASSERT_TRUE(start_for(c, backend));

    LoadClients clients(plan_for(c, sizes, backend));
    ClientReport report = clients.run();
    const size_t total = sizes.up * static_cast<size_t>(c.connections);
    EXPECT_EQ(report.failed, 0) << report.summary();
    EXPECT_EQ(report.completed, c.connections) << report.summary();
    EXPECT_EQ(report.bytes_checked, total);
    EXPECT_TRUE(loopback::wait_until(
        [&] { return g.active_connections.load() == 0 && backend.open() == 0; }))
        << "active " << g.active_connections.load() << ", backend open " << backend.open();
    EXPECT_EQ(backend.verified(), c.connections) << backend.first_failure();
    EXPECT_EQ(backend.failed(), 0) << backend.first_failure();
    EXPECT_EQ(backend.bytes_checked(), total);
    EXPECT_EQ(g.total_connections.load(), c.connections);
    EXPECT_EQ(hits(0), c.connections);
    EXPECT_EQ(errors(0), 0);

    report_figure(prefix() + "connections", std::to_string(c.connections));
    report_figure(prefix() + "bytes_each_way", std::to_string(total));
    report_figure(prefix() + "open_seconds", std::to_string(report.open_seconds));
    report_figure(prefix() + "transfer_seconds", std::to_string(report.transfer_seconds));
    report_figure(prefix() + "threads_at_peak", std::to_string(peak_threads_));
}

// A stop while every connection streams both ways without end: it returns
// within its bound, every connection is ended, nothing was garbled, and the
// next start serves.
TEST_P(Load, StopInTheMiddleEndsEveryConnectionAndTheNextStartServes) {
    const LoadCase& c = GetParam();
    const StreamSizes sizes{kEndless, kEndless};
    EventBackend backend(sizes, c.tls ? "https" : "http");
    ASSERT_GT(backend.port(), 0);
    ASSERT_TRUE(start_for(c, backend));

    LoadClients clients(plan_for(c, sizes, backend));
    ClientReport report;
    std::thread driver([&] { report = clients.run(); });
    const size_t moving = kStreamBytes * static_cast<size_t>(c.connections) / 4;
    bool loaded = loopback::wait_until(
        [&] { return clients.released() && clients.bytes_checked() >= moving; }, 60000);
    auto begin = Clock::now();
    EXPECT_EQ(proxy_stop(), 0);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    EXPECT_EQ(g.active_connections.load(), 0);
    EXPECT_EQ(proxy_status(), 0);
    driver.join();
    ASSERT_TRUE(loaded) << report.summary();
    // The drain wait is 5 s; the connections end well within it because each
    // sees the stop at its next read.
    EXPECT_LT(took.count(), 6000);
    EXPECT_EQ(report.ended_by_peer, c.connections) << report.summary();
    EXPECT_EQ(report.failed, 0) << report.summary();
    EXPECT_TRUE(loopback::wait_until([&] { return backend.open() == 0; }));
    EXPECT_EQ(backend.failed(), 0) << backend.first_failure();
    EXPECT_EQ(hits(0), c.connections);

    report_figure(prefix() + "stop_connections", std::to_string(c.connections));
    report_figure(prefix() + "stop_bytes_checked_by_clients", std::to_string(report.bytes_checked));
    report_figure(prefix() + "stop_ms", std::to_string(took.count()));

    loopback::TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    loopback::TestBackend next_backend(script);
    ASSERT_TRUE(start({{"", "/", next_backend.port()}}));
    EXPECT_EQ(g.total_connections.load(), 0);
    loopback::Fd client = this->client();
    ASSERT_TRUE(loopback::send_all(client.get(), nettest::get("/")));
    EXPECT_TRUE(loopback::recv_until(client.get(), "ok").ends_with("ok"));
}

INSTANTIATE_TEST_SUITE_P(
    Relay, Load,
    ::testing::Values(LoadCase{"Plain", false, scaled(2000, 200)},
                      LoadCase{"Tls", true, scaled(500, 50)}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

}  // namespace
