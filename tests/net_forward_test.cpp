// The first request of a connection through the running service: reading the
// head, routing, the two 502 responses and what the backend receives.
#include <string>

#include <gtest/gtest.h>

#include "net/request_head.h"
#include "net_service.h"

namespace {

using loopback::recv_all_until_close;
using loopback::send_all;
using loopback::TestBackend;
using nettest::get;

const std::string kNoRoute =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 19\r\n"
    "Connection: close\r\n\r\nno matching route\r\n";
const std::string kBackendFailed =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 26\r\n"
    "Connection: close\r\n\r\nbackend connection failed\n";

class NetForward : public nettest::Service {};

// The example head of the forwarding rules, from a loopback client.
TEST_F(NetForward, BackendReceivesTheRewrittenHead) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(),
                         "GET /x HTTP/1.1\r\nHost: a.example:8443\r\nx-forwarded-for: 1.2.3.4\r\n"
                         "X-Forwarded-Proto: ftp\r\nX-FORWARDED-HOST: evil\r\n"
                         "X-Forwarded-Port: 1\r\nAccept: */*\r\n\r\n"));
    const std::string expected =
        "GET /x HTTP/1.1\r\nHost: a.example:8443\r\nX-Forwarded-Port: 1\r\nAccept: */*\r\n"
        "X-Forwarded-For: 127.0.0.1\r\nX-Forwarded-Proto: http\r\n"
        "X-Forwarded-Host: a.example:8443\r\n\r\n";
    ASSERT_TRUE(backend.wait_received(0, expected.size()));
    EXPECT_EQ(backend.received(0), expected);
    EXPECT_EQ(hits(0), 1);
    EXPECT_EQ(errors(0), 0);
}

TEST_F(NetForward, NoHostForwardsDash) {
    TestBackend backend;
    ASSERT_TRUE(start({{"*", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), "GET / HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(backend.wait_received(0, "\r\n\r\n"));
    EXPECT_EQ(backend.received(0),
              "GET / HTTP/1.0\r\nX-Forwarded-For: 127.0.0.1\r\nX-Forwarded-Proto: http\r\n"
              "X-Forwarded-Host: -\r\n\r\n");
}

// Routing through the service: host case and port, prefixes, the tie rule.
TEST_F(NetForward, RoutesByHostAndLongestPrefix) {
    TestBackend any_host, api, named;
    ASSERT_TRUE(start({{"", "/", any_host.port()},
                       {"", "/api", api.port()},
                       {"A.Example", "/", named.port()}}));
    struct Case {
        std::string target, host;
        TestBackend* backend;
    } cases[] = {
        {"/x", "b.example", &any_host},
        {"/x", "a.EXAMPLE:8443", &named},  // port stripped for matching only
        {"/api/v1", "a.example", &api},
        {"/apix", "b.example", &any_host},
        {"/API", "b.example", &any_host},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target + " " + c.host);
        int before = c.backend->accepted();
        loopback::Fd fd = client();
        ASSERT_TRUE(send_all(fd.get(), get(c.target, c.host)));
        ASSERT_TRUE(c.backend->wait_received(before, "X-Forwarded-Host: " + c.host + "\r\n"));
    }
    EXPECT_EQ(any_host.accepted(), 3);
    EXPECT_EQ(api.accepted(), 1);
    EXPECT_EQ(named.accepted(), 1);
    EXPECT_EQ(hits(0) + hits(1) + hits(2), 5);
}

TEST_F(NetForward, NoMatchingRouteAnswers502) {
    TestBackend backend;
    ASSERT_TRUE(start({{"a.example", "/api", backend.port()}}));
    EXPECT_EQ(exchange(get("/api", "b.example")), kNoRoute);
    EXPECT_EQ(exchange(get("/apix", "a.example")), kNoRoute);
    EXPECT_EQ(exchange(get("/api", "")), kNoRoute);
    EXPECT_EQ(backend.accepted(), 0);
    EXPECT_EQ(hits(0), 0);
    EXPECT_EQ(errors(0), 0);
    EXPECT_EQ(g.total_connections.load(), 3);
}

TEST_F(NetForward, UnreachableBackendAnswers502AndCountsAnError) {
    int closed_port = loopback::free_port();  // nothing listens there
    ASSERT_TRUE(start({{"", "/", closed_port}}));
    EXPECT_EQ(exchange(get("/")), kBackendFailed);
    EXPECT_EQ(errors(0), 1);
    EXPECT_EQ(hits(0), 0);
}

// A hit is counted when the connection stands, even if the backend then
// leaves before the head could be sent.
TEST_F(NetForward, HitCountsOnConnect) {
    TestBackend::Script script;
    script.close_at_once = true;
    TestBackend backend(script);
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), get("/")));
    EXPECT_TRUE(loopback::wait_until([] { return hits(0) == 1; }));
    // Whether the client then sees a close depends on timing; a 502 it must not see.
    auto any_byte = [](const std::string& got) { return !got.empty(); };
    EXPECT_EQ(loopback::recv_until(c.get(), any_byte, 100), "");
    EXPECT_EQ(errors(0), 0);
}

// Malformed or oversized heads close the connection without any response
// and never reach a backend.
TEST_F(NetForward, MalformedHeadsCloseSilently) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    const std::string cases[] = {
        std::string(16, 'M') + " / HTTP/1.1\r\n\r\n",  // method of 16 bytes
        "GET\r\n\r\n",                                  // no space
        "GET /\r\n\r\n",                                // no space after the target
        std::string(kHeadMaxBytes, 'a'),                // 16383 bytes, no marker
    };
    for (const std::string& request : cases) {
        SCOPED_TRACE(request.substr(0, 40));
        bool closed = false;
        loopback::Fd c = client();
        ASSERT_TRUE(send_all(c.get(), request));
        EXPECT_EQ(recv_all_until_close(c.get(), loopback::kWaitMs, &closed), "");
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(backend.accepted(), 0);
    EXPECT_EQ(hits(0), 0);
}

// A bare CR or LF in the head could end a line for a backend that accepts
// it, so a Host value such as "a" LF "X-Forwarded-For: 1.2.3.4" would pass a
// forged X-Forwarded-For both in the Host line and in X-Forwarded-Host. Such
// heads are refused like any malformed head.
TEST_F(NetForward, BareLineBreaksCannotSmuggleHeaders) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    const std::string cases[] = {
        "GET / HTTP/1.1\r\nHost: a\nX-Forwarded-For: 1.2.3.4\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: a\rX-Forwarded-For: 1.2.3.4\r\n\r\n",
        "GET / HTTP/1.1\nX-Forwarded-Host: evil\r\n\r\n",
        "GET / HTTP/1.1\r\nA: b\r\n\nX-Forwarded-For: 1.2.3.4\r\n\r\n",
    };
    for (const std::string& request : cases) {
        SCOPED_TRACE(request);
        EXPECT_EQ(exchange(request), "");
    }
    EXPECT_EQ(backend.accepted(), 0);
    // Bare line breaks in a body are the body's business.
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\nx\ny\r"));
    EXPECT_TRUE(backend.wait_received(0, "X-Forwarded-Host: a\r\n\r\nx\ny\r"));
}

TEST_F(NetForward, FifteenByteMethodIsServed) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), std::string(15, 'M') + " / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(backend.wait_received(0, std::string(15, 'M') + " / HTTP/1.1\r\n"));
}

// A marker that ends exactly at the 16383rd byte is still found.
TEST_F(NetForward, LargestHeadIsServed) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    std::string head = "GET / HTTP/1.1\r\nA: ";
    head += std::string(kHeadMaxBytes - head.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), kHeadMaxBytes);
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), head));
    EXPECT_TRUE(backend.wait_received(0, "X-Forwarded-Host: -\r\n\r\n"));
    EXPECT_EQ(backend.received(0).substr(0, head.size() - 2), head.substr(0, head.size() - 2));
}

// A head that arrives a few bytes at a time is served once it is complete.
TEST_F(NetForward, HeadInSmallPieces) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/p", backend.port()}}));
    const std::string head = get("/p/q", "a.example", "Accept: */*\r\n");
    loopback::Fd c = client();
    for (size_t at = 0; at < head.size(); at += 3) {
        ASSERT_TRUE(send_all(c.get(), head.substr(at, 3)));
        // Pace the pieces so that most arrive in reads of their own.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (at + 3 < head.size()) {
            EXPECT_EQ(backend.accepted(), 0);
        }
    }
    ASSERT_TRUE(backend.wait_received(0, "\r\n\r\n"));
    EXPECT_TRUE(backend.received(0).starts_with("GET /p/q HTTP/1.1\r\nHost: a.example\r\n"));
}

// Body bytes that came with the head follow it at once; the rest of the
// body follows through the relay.
TEST_F(NetForward, EarlyBodyBytesFollowTheHead) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nhello"));
    const std::string head =
        "POST / HTTP/1.1\r\nContent-Length: 10\r\nX-Forwarded-For: 127.0.0.1\r\n"
        "X-Forwarded-Proto: http\r\nX-Forwarded-Host: -\r\n\r\n";
    ASSERT_TRUE(backend.wait_received(0, head.size() + 5));
    EXPECT_EQ(backend.received(0), head + "hello");
    ASSERT_TRUE(send_all(c.get(), "world"));
    ASSERT_TRUE(backend.wait_received(0, head.size() + 10));
    EXPECT_EQ(backend.received(0), head + "helloworld");
}

// The next request on a connection is routed and rewritten on its own: to
// another route's backend, which gets the client's own address whatever the
// client claimed, and a hit there.
TEST_F(NetForward, SecondRequestIsRoutedAndRewritten) {
    TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    TestBackend first(script), other;
    ASSERT_TRUE(start({{"", "/", first.port()}, {"b.example", "/b", other.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), get("/")));
    EXPECT_TRUE(loopback::recv_until(c.get(), "ok").ends_with("ok"));
    ASSERT_TRUE(send_all(c.get(), get("/b", "b.example", "X-Forwarded-For: 9.9.9.9\r\n")));
    const std::string expected =
        "GET /b HTTP/1.1\r\nHost: b.example\r\nX-Forwarded-For: 127.0.0.1\r\n"
        "X-Forwarded-Proto: http\r\nX-Forwarded-Host: b.example\r\n\r\n";
    ASSERT_TRUE(other.wait_received(0, expected.size()));
    EXPECT_EQ(other.received(0), expected);
    EXPECT_TRUE(first.received(0).ends_with("X-Forwarded-Host: a.example\r\n\r\n"));
    EXPECT_EQ(hits(0), 1);
    EXPECT_EQ(hits(1), 1);
}

}  // namespace
