// A fixture for data-path tests: starts the service on a free loopback port
// with a given route table, stops it at the end and checks that no thread
// outlived it. Counters are read from the state record directly.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "state.h"
#include "support/loopback.h"
#include "velkor_proxy.h"

namespace nettest {

struct RouteSpec {
    std::string host;
    std::string prefix;
    int port;
};

// `extra` adds top-level members, each with its leading comma.
inline std::string config_json(int listen_port, const std::vector<RouteSpec>& routes,
                               const std::string& extra = "") {
    std::string doc = "{\"listen_port\":" + std::to_string(listen_port) + extra + ",\"routes\":[";
    for (size_t i = 0; i < routes.size(); ++i) {
        if (i) doc += ",";
        doc += "{\"host\":\"" + routes[i].host + "\",\"path_prefix\":\"" + routes[i].prefix +
               "\",\"target_ip\":\"127.0.0.1\",\"target_port\":" +
               std::to_string(routes[i].port) + "}";
    }
    return doc + "]}";
}

// A request head with the given target and Host value (no Host line when
// host is empty), ending in the empty line.
inline std::string get(const std::string& target, const std::string& host = "a.example",
                       const std::string& extra_lines = "") {
    std::string head = "GET " + target + " HTTP/1.1\r\n";
    if (!host.empty()) head += "Host: " + host + "\r\n";
    return head + extra_lines + "\r\n";
}

// The head of an upload whose body runs for `bytes` bytes.
inline std::string upload(const std::string& target, size_t bytes) {
    return "POST " + target + " HTTP/1.1\r\nHost: a.example\r\nContent-Length: " +
           std::to_string(bytes) + "\r\n\r\n";
}

// A request that asks for an upgrade, and the backend's 101 that turns the
// connection into a byte pipe both ways: the way to relay raw streams.
inline std::string upgrade(const std::string& target) {
    return get(target, "a.example", "Connection: Upgrade\r\nUpgrade: test\r\n");
}
inline const std::string kSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: test\r\n\r\n";

// The head of an answer that runs until the backend closes.
inline const std::string kUntilClose = "HTTP/1.1 200 OK\r\n\r\n";

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_stop();
        // A sanitizer runtime may start a helper thread of its own along with
        // the process's first thread; let that happen before counting.
        std::thread([] {}).join();
        threads_ = loopback::thread_count();
    }

    void TearDown() override {
        EXPECT_EQ(proxy_stop(), 0);
        EXPECT_EQ(g.active_connections.load(), 0);
        EXPECT_TRUE(loopback::wait_threads_at_most(threads_)) << "a thread outlived the service";
    }

    // Starts the service; returns false (with a failure recorded) when it
    // could not. A free port can be taken by someone else before the start,
    // so a failed bind is tried again on another port.
    bool start(const std::vector<RouteSpec>& routes, const std::string& extra = "") {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = loopback::free_port();
            if (proxy_start(config_json(port_, routes, extra).c_str()) == 0) return true;
            if (std::string(proxy_last_error()).rfind("bind port", 0) != 0) break;
        }
        ADD_FAILURE() << "proxy_start: " << proxy_last_error();
        return false;
    }

    loopback::Fd client(const char* from = nullptr) { return loopback::connect_to(port_, from); }

    // Sends one request on a new connection and returns everything received
    // until the proxy closes it.
    std::string exchange(const std::string& request) {
        loopback::Fd c = client();
        EXPECT_TRUE(c.valid());
        EXPECT_TRUE(loopback::send_all(c.get(), request));
        return loopback::recv_all_until_close(c.get());
    }

    static int hits(int route) { return g.routes[route].hits.load(); }
    static int errors(int route) { return g.routes[route].errors.load(); }

    int port_ = 0;
    int threads_ = 0;
};

}  // namespace nettest
