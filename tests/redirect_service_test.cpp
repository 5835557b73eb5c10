// The redirect port of a running TLS service, started through proxy_start.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "state.h"
#include "support/certs.h"
#include "support/command.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "velkor_proxy.h"

namespace {

using loopback::Fd;

class RedirectService : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_stop();
        threads_ = loopback::thread_count();
    }

    void TearDown() override {
        EXPECT_EQ(proxy_stop(), 0);
        EXPECT_TRUE(loopback::wait_threads_at_most(threads_)) << "a thread outlived the service";
    }

    // Starts TLS on one free port with the redirect on another and one route
    // for everything to backend_port. A free port can be taken by someone
    // else before the start, so a failed bind is tried again.
    bool start(int backend_port) {
        const testcerts::CertFiles& certs = testcerts::cert_files();
        if (certs.ec_cert.empty()) return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = loopback::free_port();
            redirect_port_ = loopback::free_port();
            std::string doc = R"({"listen_port":)" + std::to_string(port_) +
                              R"(,"tls_cert":")" + certs.ec_cert + R"(","tls_key":")" +
                              certs.ec_key + R"(","http_redirect_port":)" +
                              std::to_string(redirect_port_) +
                              R"(,"routes":[{"host":"","path_prefix":"/","target_ip":"127.0.0.1",)"
                              R"("target_port":)" + std::to_string(backend_port) + "}]}";
            if (proxy_start(doc.c_str()) == 0) return true;
            if (std::string(proxy_last_error()).rfind("bind port", 0) != 0) break;
        }
        ADD_FAILURE() << "proxy_start: " << proxy_last_error();
        return false;
    }

    int port_ = 0;
    int redirect_port_ = 0;
    int threads_ = 0;
};

// The Location names the main port, the redirect counts nothing, and a real
// client follows it over TLS to the backend.
TEST_F(RedirectService, CurlFollowsTheRedirectToTheBackend) {
    loopback::TestBackend backend(loopback::TestBackend::Script{
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello", true});
    ASSERT_TRUE(start(backend.port()));
    Fd c = loopback::connect_to(redirect_port_);
    ASSERT_TRUE(loopback::send_all(c.get(), "GET /x HTTP/1.1\r\nHost: a.example:80\r\n\r\n"));
    EXPECT_EQ(loopback::recv_all_until_close(c.get()),
              "HTTP/1.1 301 Moved Permanently\r\nLocation: https://a.example:" +
                  std::to_string(port_) + "/x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(g.total_connections.load(), 0);
    EXPECT_EQ(backend.accepted(), 0);

    if (!command::available()) GTEST_SKIP() << "needs the curl command line";
    std::string out = command::run("curl -q -sS --noproxy '*' --max-time 10 -L --cacert '" +
                          testcerts::cert_files().ec_cert + "' -w ' %{url_effective}' " +
                          "'http://127.0.0.1:" + std::to_string(redirect_port_) +
                          "/shop/cart?id=7'").output;
    EXPECT_EQ(out, "hello https://127.0.0.1:" + std::to_string(port_) + "/shop/cart?id=7");
    ASSERT_TRUE(backend.wait_received(0, "\r\n\r\n"));
    EXPECT_EQ(backend.received(0).rfind("GET /shop/cart?id=7 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(g.total_connections.load(), 1) << "only the HTTPS connection counts";
    EXPECT_EQ(g.routes[0].hits.load(), 1);
    EXPECT_STREQ(proxy_last_error(), "");
}

// A stop ends a redirect client that is still sending its head at once,
// without an answer, and ends the redirect thread with it.
TEST_F(RedirectService, StopEndsARedirectClientAtOnce) {
    if (!ports::sees_accepts()) GTEST_SKIP() << "sees the accept only in the descriptor count (Linux)";
    ASSERT_TRUE(start(loopback::free_port()));  // no backend is ever reached
    int fds_before = ports::open_descriptor_count();
    Fd silent = loopback::connect_to(redirect_port_);
    ASSERT_TRUE(silent.valid());
    // The accept adds the server side's descriptor: the thread has the client.
    ASSERT_TRUE(loopback::wait_until(
        [&] { return ports::open_descriptor_count() == fds_before + 2; }));

    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
    EXPECT_TRUE(loopback::wait_threads_at_most(threads_, 200)) << "stop joined the redirect thread";
    bool closed = false;
    EXPECT_EQ(loopback::recv_all_until_close(silent.get(), loopback::kWaitMs, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(loopback::connect_to(redirect_port_).valid()) << "the redirect port is closed";
}

}  // namespace
