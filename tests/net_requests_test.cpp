// Every request on a connection is its own, plain and over TLS: read, routed
// and forwarded with its own X-Forwarded-* lines; bodies and answers framed
// both ways; upgrades, early answers and the client's last request; and
// requests that two parsers could read two ways reach no backend.
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/any_client.h"
#include "support/command.h"
#include "support/guarded_service.h"
#include "support/http_backend.h"

namespace {

using anyclient::Client;
using anyclient::End;
using httptest::answer_of;
using httptest::HttpBackend;
using nettest::get;

struct Mode {
    const char* name;
    bool tls;
};

void PrintTo(const Mode& c, std::ostream* os) { *os << c.name; }

const std::string kWsHead = "GET /ws HTTP/1.1\r\nHost: a\r\nConnection: Upgrade\r\nUpgrade: ";
const std::string k101 =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";

class NetRequests : public hardening::GuardedService, public ::testing::WithParamInterface<Mode> {
protected:
    void SetUp() override {
        hardening::GuardedService::SetUp();
        ASSERT_TRUE(GetParam().tls ? start_tls(routes()) : start(routes()));
    }
    std::vector<nettest::RouteSpec> routes() const {
        return {{"", "/", web_.port()}, {"", "/api", api_.port()}};
    }
    Client open() { return Client(GetParam().tls, port_); }

    HttpBackend web_{"web"};
    HttpBackend api_{"api"};
};

std::string web(const std::string& method, const std::string& target, size_t body = 0) {
    return answer_of("web", method, target, body);
}
std::string api(const std::string& target) { return answer_of("api", "GET", target); }

TEST_P(NetRequests, EachRequestIsRoutedAndRewrittenOnItsOwn) {
    const std::string forged = "X-Forwarded-For: 6.6.6.6\r\nx_forwarded_for: 7.7.7.7\r\n";
    const struct {
        const char* name;
        std::string send;    // in one write
        std::string answers;
        int web_conns, api_conns;  // backend connections it makes
        bool last = false;   // the connection ends after the answers
    } cases[] = {
        {"/ then /api", get("/") + get("/api/n0", "a", forged), web("GET", "/") + api("/api/n0"), 1, 1},
        {"three to one route", get("/api/1") + get("/api/2") + get("/api/3"),
         api("/api/1") + api("/api/2") + api("/api/3"), 0, 1},
        {"three across two routes", get("/a", "a", forged) + get("/api/b") + get("/c"),
         web("GET", "/a") + api("/api/b") + web("GET", "/c"), 2, 1},
        {"empty lines before a request", "\r\n\r\n" + get("/api/e"), api("/api/e"), 0, 1},
        {"absolute form, routed by its authority and path",
         "GET http://a.example/api/abs HTTP/1.1\r\nHost: a.example\r\n\r\n",
         api("http://a.example/api/abs"), 0, 1},
        {"a chunked upload and a chunked answer",
         "POST /chunked HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
         "5\r\nhello\r\n0\r\nT: 1\r\n\r\n" + get("/api/after"),
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nweb\r\n2\r\nok\r\n0\r\n"
         "X-Trailer: t\r\n\r\n" + api("/api/after"), 1, 1},
        {"HEAD, 204 and 304 carry no body",
         "HEAD /h HTTP/1.1\r\n\r\n" + get("/status/204") + get("/status/304") + get("/api/z"),
         "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n"
         "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n" + api("/api/z"), 1, 1},
        {"Expect: 100-continue",
         "POST /x HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc",
         "HTTP/1.1 100 Continue\r\n\r\n" + web("POST", "/x", 3), 1, 0},
        {"a refused upgrade, then the next request", kWsHead + "nope\r\n\r\n" + get("/api/n", "a", forged),
         "HTTP/1.1 426 Upgrade Required\r\nContent-Length: 0\r\n\r\n" + api("/api/n"), 1, 1},
        {"Connection: close", get("/", "a", "Connection: close\r\n") + get("/api/never"),
         web("GET", "/"), 1, 0, true},
        {"HTTP/1.0 without keep-alive", "GET /old HTTP/1.0\r\n\r\n" + get("/api/never"),
         web("GET", "/old"), 1, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int web_before = web_.accepted(), api_before = api_.accepted();
        Client client = open();
        ASSERT_TRUE(client.send(c.send));
        EXPECT_EQ(client.recv_until(c.answers), c.answers);
        if (c.last) {
            EXPECT_EQ(client.read_to_end().how, End::kOrderly);
        } else {
            EXPECT_TRUE(client.stays_quiet(50));
        }
        EXPECT_EQ(web_.accepted() - web_before, c.web_conns);
        EXPECT_EQ(api_.accepted() - api_before, c.api_conns);
    }
    EXPECT_EQ(hits(0), web_.accepted());
    EXPECT_EQ(hits(1), api_.accepted());
    EXPECT_EQ(api_.received(0).find("/api/never"), std::string::npos);
}

// After a 101 the connection is a byte pipe both ways: bytes sent with the
// upgrade request wait for the 101, and a request line after it is no
// longer routed.
TEST_P(NetRequests, UpgradeTurnsTheConnectionIntoAPipe) {
    Client client = open();
    ASSERT_TRUE(client.send(kWsHead + "websocket\r\n\r\n\x81\x05hello"));
    EXPECT_EQ(client.recv_until("hello"), k101 + "\x81\x05hello");
    ASSERT_TRUE(client.send(get("/api/not-routed")));
    EXPECT_EQ(client.recv_until("\r\n\r\n"), get("/api/not-routed"));
    EXPECT_EQ(api_.accepted(), 0);
}

// A final answer that comes before the whole body ends the connection after
// it, in order; nothing more of the body, nor what follows, reaches the
// backend, which did not read it.
TEST_P(NetRequests, EarlyAnswerEndsTheConnection) {
    Client client = open();
    ASSERT_TRUE(client.send("POST /early HTTP/1.1\r\nContent-Length: 100000\r\n\r\npart"));
    EXPECT_EQ(client.recv_until("\r\n\r\n"),
              "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n");
    client.send(std::string(1000, 'b') + get("/smuggled"));
    EXPECT_EQ(client.read_to_end().how, End::kOrderly);
    EXPECT_EQ(web_.received(0).find("/smuggled"), std::string::npos);
}

// What two parsers could read two ways is refused: the answer before it
// arrives whole, the backend sees nothing after the last valid request, and
// the connection ends (cut, when the body broke after part of it went).
TEST_P(NetRequests, SmugglingAttemptsReachNoBackend) {
    static const char kNul[] = "GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n";
    const std::string post = "POST / HTTP/1.1\r\nHost: a\r\n";
    const std::string te = post + "Transfer-Encoding: chunked\r\n\r\n";
    const struct {
        const char* name;
        std::string attempt;
    } cases[] = {
        {"Content-Length beside Transfer-Encoding",
         post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"a blank before the colon", post + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n"},
        {"a coding other than chunked", post + "Transfer-Encoding: xchunked\r\n\r\n0\r\n\r\n"},
        {"two Content-Length lines", post + "Content-Length: 0\r\nContent-Length: 26\r\n\r\n"},
        {"a signed Content-Length", post + "Content-Length: +5\r\n\r\nhello"},
        {"an overflowing chunk size", te + "10000000000000001\r\nx\r\n0\r\n\r\n"},
        {"a folded line", post + "X: a\r\n Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"a bare LF in a chunk line", te + "5\nhello\r\n0\r\n\r\n"},
        {"a NUL", std::string(kNul, sizeof kNul - 1)},
        {"X-Forwarded-For with a blank before its colon",
         "GET / HTTP/1.1\r\nX-Forwarded-For : 6.6.6.6\r\n\r\n"},
        {"two Host lines", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"},
    };
    int conn = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client = open();
        ASSERT_TRUE(client.send(get("/first")));
        EXPECT_EQ(client.recv_until("xff=127.0.0.1"), web("GET", "/first"));
        ASSERT_TRUE(client.send(c.attempt + get("/smuggled")));
        anyclient::Ending end = client.read_to_end();
        EXPECT_NE(end.how, End::kNone);
        EXPECT_EQ(end.text, "");
        EXPECT_TRUE(loopback::wait_until([&] { return web_.accepted() == conn + 1; }));
        EXPECT_EQ(web_.received(conn).find("/smuggled"), std::string::npos);
        ++conn;
    }
}

// curl reuses its connection for a second URL of another route.
TEST_P(NetRequests, CurlFetchesTwoRoutesOnOneConnection) {
    if (!command::available()) GTEST_SKIP() << "needs the curl command line";
    const std::string base =
        (GetParam().tls ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_);
    command::Result r = command::run("curl -q -sS -k -v --noproxy '*' --max-time 10 " + base +
                                     "/one --next -k " + base + "/api/two");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find(httptest::body_of("web", "GET", "/one", 0)), std::string::npos);
    EXPECT_NE(r.output.find(httptest::body_of("api", "GET", "/api/two", 0)), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Re-using existing connection"), std::string::npos) << r.output;
    EXPECT_EQ(g.total_connections.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NetRequests, ::testing::Values(Mode{"Plain", false}, Mode{"Tls", true}),
    [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });

}  // namespace
