// Starting and stopping the service through the six exported functions, on
// real loopback ports. Each test starts from a stopped service and must leave
// no thread or descriptor behind.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/certs.h"
#include "support/json_check.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "velkor_proxy.h"

namespace {

using loopback::connect_to;
using loopback::free_port;

constexpr int kSettleMs = 3000;

// A document listening on `port` with one route to `backend`; `extra` adds
// top-level members.
std::string config(int port, const std::string& extra = "", int backend = 9000) {
    return R"({"listen_port":)" + std::to_string(port) + extra +
           R"(,"routes":[{"host":"*","path_prefix":"/api","target_port":)" +
           std::to_string(backend) + "}]}";
}

std::string report() { return proxy_runtime_status(); }

// The number after "key": in the report, or LONG_MIN when the key is missing.
long report_number(const std::string& key) {
    std::string text = report();
    std::string label = "\"" + key + "\":";
    size_t at = text.find(label);
    if (at == std::string::npos) return LONG_MIN;
    return strtol(text.c_str() + at + label.size(), nullptr, 10);
}

bool accepts(int port) { return connect_to(port).valid(); }

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_stop();
        // A sanitizer runtime starts a helper thread of its own at the first
        // thread creation; let that happen before the baseline is taken.
        std::thread([] {}).join();
        threads_ = loopback::thread_count();
        descriptors_ = ports::open_descriptor_count();
    }

    void TearDown() override {
        EXPECT_EQ(proxy_stop(), 0);
        EXPECT_EQ(proxy_status(), 0);
        EXPECT_TRUE(loopback::wait_threads_at_most(threads_, kSettleMs))
            << "a thread outlived the service";
        EXPECT_TRUE(loopback::wait_until(
            [&] { return ports::open_descriptor_count() <= descriptors_; }, kSettleMs))
            << "a descriptor outlived the service";
    }

    int threads_ = 0;
    int descriptors_ = 0;
};

TEST_F(Lifecycle, ExportsAnswerWhileStopped) {
    EXPECT_STREQ(proxy_version(), "1.0.0");
    EXPECT_EQ(proxy_status(), 0);
    EXPECT_EQ(proxy_stop(), 0);
    const char* first = proxy_runtime_status();
    EXPECT_EQ(proxy_runtime_status(), first);
    EXPECT_TRUE(jsoncheck::is_valid(first));
}

TEST_F(Lifecycle, StartServesAndStopEnds) {
    int port = free_port();
    ASSERT_EQ(proxy_start(config(port).c_str()), 0) << proxy_last_error();
    EXPECT_STREQ(proxy_last_error(), "");
    EXPECT_EQ(proxy_status(), 1);
    EXPECT_TRUE(accepts(port));
    EXPECT_EQ(report_number("running"), 1);
    EXPECT_EQ(report_number("listen_port"), port);
    EXPECT_TRUE(jsoncheck::is_valid(report()));

    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_EQ(proxy_status(), 0);
    EXPECT_FALSE(accepts(port));
    // The last run's configuration stays in the report.
    EXPECT_EQ(report_number("running"), 0);
    EXPECT_EQ(report_number("listen_port"), port);
    EXPECT_NE(report().find(R"("routes":[{"host":"*","path_prefix":"/api")"), std::string::npos);
}

TEST_F(Lifecycle, NullDocumentIsRefusedAndLeavesTheRecord) {
    int port = free_port();
    ASSERT_EQ(proxy_start(config(port).c_str()), 0) << proxy_last_error();
    proxy_stop();

    EXPECT_EQ(proxy_start(nullptr), -1);
    EXPECT_STREQ(proxy_last_error(), "config_json is NULL");
    EXPECT_EQ(proxy_status(), 0);
    EXPECT_EQ(report_number("listen_port"), port);
    EXPECT_NE(report().find(R"("target_port":9000)"), std::string::npos);
    EXPECT_NE(report().find(R"("last_error":"config_json is NULL"})"), std::string::npos);
}

TEST_F(Lifecycle, SecondStartRefusedWhileTheFirstKeepsServing) {
    int first = free_port();
    int second = free_port();
    ASSERT_EQ(proxy_start(config(first).c_str()), 0) << proxy_last_error();
    int threads_running = loopback::thread_count();

    EXPECT_EQ(proxy_start(config(second).c_str()), -1);
    EXPECT_STREQ(proxy_last_error(), "already running");
    EXPECT_EQ(proxy_status(), 1);
    EXPECT_EQ(loopback::thread_count(), threads_running);
    EXPECT_TRUE(accepts(first));
    EXPECT_FALSE(accepts(second));
    EXPECT_EQ(report_number("running"), 1);
    EXPECT_EQ(report_number("listen_port"), first);
    EXPECT_NE(report().find(R"("last_error":"already running"})"), std::string::npos);
}

TEST_F(Lifecycle, BindFailureNamesThePortAndAFreePortThenStarts) {
    ports::HeldPort taken;
    ASSERT_TRUE(taken.held());
    EXPECT_EQ(proxy_start(config(taken.port()).c_str()), -1);
    std::string message = "bind port " + std::to_string(taken.port()) + " failed (in use?)";
    EXPECT_EQ(proxy_last_error(), message);
    EXPECT_EQ(proxy_status(), 0);
    EXPECT_EQ(report_number("running"), 0);
    EXPECT_EQ(report_number("listen_port"), taken.port());
    EXPECT_NE(report().find(R"("last_error":")" + message + "\"}"), std::string::npos);

    int port = free_port();
    EXPECT_EQ(proxy_start(config(port).c_str()), 0) << proxy_last_error();
    EXPECT_STREQ(proxy_last_error(), "");
    EXPECT_TRUE(accepts(port));
}

TEST_F(Lifecycle, ConfigFailureReportsWhatWasRead) {
    EXPECT_EQ(proxy_start(R"({"listen_port":8443,"tls_cert":"c.pem","tls_key":"k.pem"})"), -1);
    EXPECT_EQ(report(),
              R"({"running":0,"tls":1,"listen_port":8443,"redirect_port":0,"active_connections":0,)"
              R"("total_connections":0,"routes":[],"last_error":"routes array required"})");

    int port = free_port();
    EXPECT_EQ(proxy_start(config(port).c_str()), 0) << proxy_last_error();
}

TEST_F(Lifecycle, ListenPortZeroStarts) {
    ASSERT_EQ(proxy_start(config(0).c_str()), 0) << proxy_last_error();
    EXPECT_EQ(proxy_status(), 1);
    EXPECT_EQ(report_number("listen_port"), 0);
}

TEST_F(Lifecycle, ListenPortAbove65535UsesItsLow16Bits) {
    constexpr int kLow16 = 70000 & 0xffff;  // 4464
    {
        ports::HeldPort probe(kLow16);
        if (!probe.held()) GTEST_SKIP() << "port " << kLow16 << " is in use on this machine";
    }
    ASSERT_EQ(proxy_start(config(70000).c_str()), 0) << proxy_last_error();
    EXPECT_TRUE(accepts(kLow16));
    EXPECT_EQ(report_number("listen_port"), 70000);
}

TEST_F(Lifecycle, RedirectPortDroppedWithoutTls) {
    int port = free_port();
    int redirect = free_port();
    std::string extra = R"(,"http_redirect_port":)" + std::to_string(redirect);
    ASSERT_EQ(proxy_start(config(port, extra).c_str()), 0) << proxy_last_error();
    EXPECT_EQ(report_number("tls"), 0);
    EXPECT_EQ(report_number("redirect_port"), 0);
    EXPECT_EQ(loopback::thread_count(), threads_ + 1);  // the accept thread alone
    EXPECT_TRUE(accepts(port));
    EXPECT_FALSE(accepts(redirect));
}

// Each run counts from zero, and the port is free again after each stop.
TEST_F(Lifecycle, StartStopStartOnTheSamePortCountsFromZero) {
    loopback::TestBackend backend(loopback::TestBackend::Script{
        .reply = "HTTP/1.1 204 No Content\r\n\r\n", .close_after_reply = true});
    int port = free_port();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(proxy_start(config(port, "", backend.port()).c_str()), 0) << proxy_last_error();
        EXPECT_EQ(report_number("total_connections"), 0);
        EXPECT_EQ(report_number("hits"), 0);

        loopback::Fd client = connect_to(port);
        ASSERT_TRUE(client.valid());
        EXPECT_TRUE(loopback::send_all(client.get(), "GET /api HTTP/1.1\r\nHost: a\r\n\r\n"));
        EXPECT_NE(loopback::recv_until(client.get(), "\r\n\r\n").find("204"), std::string::npos);
        client.reset();  // the proxy keeps a client open until it goes
        EXPECT_TRUE(loopback::wait_until(
            [] { return report_number("active_connections") == 0 && report_number("hits") == 1; }))
            << report();
        EXPECT_EQ(report_number("total_connections"), 1);

        EXPECT_EQ(proxy_stop(), 0);
        EXPECT_FALSE(accepts(port));
    }
}

TEST_F(Lifecycle, StopIsPromptAndIdempotent) {
    using Clock = std::chrono::steady_clock;
    ASSERT_EQ(proxy_start(config(free_port()).c_str()), 0) << proxy_last_error();
    auto begin = Clock::now();
    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(3));
    EXPECT_EQ(proxy_status(), 0);

    begin = Clock::now();
    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(1));
}

// With TLS, a redirect port that is taken fails the start with its own
// number, and the main port is released again.
TEST_F(Lifecycle, TlsRedirectPortInUseReleasesTheMainPort) {
    const testcerts::CertFiles& certs = testcerts::cert_files();
    ASSERT_FALSE(certs.ec_cert.empty());
    std::string tls = R"(,"tls_cert":")" + certs.ec_cert + R"(","tls_key":")" + certs.ec_key + "\"";
    int port = free_port();
    if (proxy_start(config(port, tls).c_str()) != 0) {
        GTEST_SKIP() << "TLS credentials not available: " << proxy_last_error();
    }
    proxy_stop();

    ports::HeldPort taken;
    ASSERT_TRUE(taken.held());
    std::string extra = tls + R"(,"http_redirect_port":)" + std::to_string(taken.port());
    EXPECT_EQ(proxy_start(config(port, extra).c_str()), -1);
    EXPECT_EQ(proxy_last_error(),
              "bind port " + std::to_string(taken.port()) + " failed (in use?)");
    EXPECT_FALSE(accepts(port));

    int redirect = free_port();
    extra = tls + R"(,"http_redirect_port":)" + std::to_string(redirect);
    ASSERT_EQ(proxy_start(config(port, extra).c_str()), 0) << proxy_last_error();
    EXPECT_EQ(report_number("redirect_port"), redirect);
    EXPECT_TRUE(accepts(port));
    EXPECT_TRUE(accepts(redirect));
}

}  // namespace

namespace {

// A host may poll the report from any thread while another starts and stops
// the service: the report must never read a field while a start writes it
// (the ThreadSanitizer build checks), and it stays one well-formed line.
TEST_F(Lifecycle, ReportPolledWhileStartingAndStopping) {
    std::atomic<bool> done{false};
    std::atomic<int> malformed{0};
    std::thread poller([&] {
        while (!done) {
            std::string r = proxy_runtime_status();
            if (r.rfind("{\"running\":", 0) != 0 || r.back() != '}') ++malformed;
        }
    });
    const std::string good = config(0);
    const std::string bad = R"({"listen_port":0,"routes":[{"target_port":0}]})";
    for (int i = 0; i < 200; ++i) {
        if (i % 4 == 3) {
            EXPECT_EQ(proxy_start(bad.c_str()), -1);
        } else {
            ASSERT_EQ(proxy_start(good.c_str()), 0) << proxy_last_error();
            EXPECT_EQ(proxy_stop(), 0);
        }
    }
    done = true;
    poller.join();
    EXPECT_EQ(malformed.load(), 0);
}

}  // namespace
