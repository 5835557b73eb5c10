// The data path over TLS: the forwarded scheme and the fixed replies. How a
// TLS connection ends is tested beside the plain one (fault_relay_test).
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "net_service.h"
#include "support/certs.h"
#include "support/tls_client.h"

namespace {

using loopback::TestBackend;
using nettest::get;

class NetTls : public nettest::Service {
protected:
    bool start_tls(const std::vector<nettest::RouteSpec>& routes) {
        const testcerts::CertFiles& files = testcerts::cert_files();
        if (files.ec_cert.empty()) return false;
        return start(routes, ",\"tls_cert\":\"" + files.ec_cert + "\",\"tls_key\":\"" +
                                 files.ec_key + "\"");
    }
};

TEST_F(NetTls, ForwardsWithHttpsAndRelaysTheAnswer) {
    TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    script.close_after_reply = true;
    TestBackend backend(script);
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    tlsclient::Client c;
    ASSERT_TRUE(c.connect(port_)) << c.handshake_result();
    ASSERT_TRUE(c.send(get("/s", "a.example:443", "X-Forwarded-Proto: http\r\n")));
    int end = 1;
    EXPECT_EQ(c.read_to_end(&end), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(backend.received(0),
              "GET /s HTTP/1.1\r\nHost: a.example:443\r\nX-Forwarded-For: 127.0.0.1\r\n"
              "X-Forwarded-Proto: https\r\nX-Forwarded-Host: a.example:443\r\n\r\n");
    EXPECT_EQ(hits(0), 1);
}

TEST_F(NetTls, NoRouteAnswersOverTls) {
    TestBackend backend;
    ASSERT_TRUE(start_tls({{"b.example", "/", backend.port()}}));
    tlsclient::Client c;
    ASSERT_TRUE(c.connect(port_));
    ASSERT_TRUE(c.send(get("/", "a.example")));
    int end = 1;
    EXPECT_EQ(c.read_to_end(&end),
              "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 19\r\n"
              "Connection: close\r\n\r\nno matching route\r\n");
    EXPECT_EQ(backend.accepted(), 0);
}

}  // namespace
