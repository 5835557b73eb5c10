// Malformed and slow request heads against the running service, plain and
// over TLS, delivered the hard way: one byte at a time, or up to the most a
// head may take. Each gets what the head rules say (served, or closed
// without a response) and nothing worse: no backend connection for a bad
// head, and the service goes on serving. (Heads delivered whole are in
// net_forward_test.cpp.)
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/request_head.h"
#include "support/any_client.h"
#include "support/guarded_service.h"

namespace {

using anyclient::Client;
using loopback::TestBackend;
using loopback::wait_until;
using nettest::get;

const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct Mode {
    const char* name;
    bool tls;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Mode& c, std::ostream* os) { *os << c.name; }

class FaultHead : public hardening::GuardedService, public ::testing::WithParamInterface<Mode> {
protected:
    bool start_mode(const std::vector<nettest::RouteSpec>& routes, const std::string& extra = "") {
        return GetParam().tls ? start_tls(routes, extra) : start(routes, extra);
    }
    Client open() { return Client(GetParam().tls, port_); }
};

struct TrickleCase {
    const char* name;
    std::string bytes;
    bool served;
};

// Paced so that most bytes arrive in reads of their own: nothing happens
// before the last byte, which completes the head or is the first one that
// no valid head can hold, and then exactly what the whole head would get.
TEST_P(FaultHead, HeadsTrickledOneByteAtATime) {
    TestBackend::Script script;
    script.reply = kAnswer;
    TestBackend backend(script);
    ASSERT_TRUE(start_mode({{"", "/", backend.port()}}));
    const TrickleCase cases[] = {
        {"valid", get("/t", "a.example", "Accept: */*\r\n"), true},
        {"16-byte method", std::string(16, 'M'), false},
        {"no space", "GET\r", false},
        {"no space after the target", "GET /\r", false},
        {"bare LF in a header line", "GET / HTTP/1.1\r\nHost: a\n", false},
        {"NUL in a header line", std::string("GET / HTTP/1.1\r\nHost: a\0", 24), false},
        {"15-byte method", std::string(15, 'M') + " / HTTP/1.1\r\n\r\n", true},
    };
    int served = 0;
    for (const TrickleCase& c : cases) {
        SCOPED_TRACE(c.name);
        Client client = open();
        ASSERT_TRUE(client.connected());
        for (size_t i = 0; i + 1 < c.bytes.size(); ++i) {
            ASSERT_TRUE(client.send(c.bytes.substr(i, 1)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(client.stays_quiet(50)) << "answered or closed before the head was complete";
        EXPECT_EQ(backend.accepted(), served);
        ASSERT_TRUE(client.send(c.bytes.substr(c.bytes.size() - 1)));
        if (c.served) {
            EXPECT_EQ(client.recv_until("ok"), kAnswer);
            ++served;
        } else {
            bool ended = false;
            EXPECT_EQ(client.recv_to_end(&ended), "");
            EXPECT_TRUE(ended);
        }
    }
    EXPECT_EQ(backend.accepted(), served);
    EXPECT_EQ(hits(0), served);
    EXPECT_EQ(g.total_connections.load(), static_cast<int>(std::size(cases)));
}

// A head that fills the most a head may take without ending is closed
// without a response; one byte less keeps it waiting. The service serves the
// next client all the while.
TEST_P(FaultHead, HeadThatNeverEndsIsClosedAtItsLimit) {
    TestBackend::Script script;
    script.reply = kAnswer;
    TestBackend backend(script);
    ASSERT_TRUE(start_mode({{"", "/", backend.port()}}));
    const std::string start = "GET / HTTP/1.1\r\nHost: a.example\r\nX: ";

    Client filled = open();
    ASSERT_TRUE(filled.send(start));
    EXPECT_TRUE(filled.stays_quiet(300));
    Client leaving = open();
    ASSERT_TRUE(leaving.send(start));
    Client normal = open();
    ASSERT_TRUE(normal.send(get("/")));
    EXPECT_EQ(normal.recv_until("ok"), kAnswer);

    std::string filler(kHeadMaxBytes - start.size() - 1, 'a');
    ASSERT_TRUE(filled.send(filler));
    EXPECT_TRUE(filled.stays_quiet(100));
    ASSERT_TRUE(filled.send("a"));
    bool ended = false;
    EXPECT_EQ(filled.recv_to_end(&ended), "");
    EXPECT_TRUE(ended);

    leaving.reset();
    EXPECT_TRUE(wait_until([] { return g.active_connections.load() == 1; }));  // `normal`
    EXPECT_EQ(backend.accepted(), 1);
    EXPECT_EQ(hits(0), 1);
    EXPECT_EQ(g.total_connections.load(), 3);
}

// The handshake and the whole head must be in within head_timeout_ms of the
// accept, however the bytes are spread (a deadline per read would serve the
// trickle after some 6 s); a late client is closed without a response. Each
// later head has as long from the answer before it: a client that goes
// silent after an answer is closed then.
TEST_P(FaultHead, HandshakeAndHeadWithinTheDeadline) {
    constexpr int kDeadlineMs = 400;
    TestBackend::Script script;
    script.reply = kAnswer;
    TestBackend backend(script);
    ASSERT_TRUE(start_mode({{"", "/", backend.port()}}, ",\"head_timeout_ms\":400"));
    const struct {
        const char* name;
        bool handshake;  // with TLS on, complete the handshake first
        std::string bytes;
        bool trickle;    // a byte every 100 ms rather than all at once
        bool served;
        bool then_silent = false;  // the deadline counts again from the answer
    } cases[] = {
        {"silent", false, "", false, false},
        {"half a ClientHello, or half a head", false,
         GetParam().tls ? std::string("\x16\x03\x01\x00\xc8\x01\x00\x00\xc4", 9) : "GET / HT", false,
         false},
        {"a byte every 100 ms", true, get("/", "a.example", "X-Pad: " + std::string(40, 'p') + "\r\n"),
         true, false},
        {"whole head in time", true, get("/"), false, true},
        {"silent after its answer", true, get("/"), false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto begin = std::chrono::steady_clock::now();
        Client client(GetParam().tls && c.handshake, port_);
        ASSERT_TRUE(client.connected());
        const size_t step = c.trickle ? 1 : c.bytes.size();
        for (size_t i = 0; i < c.bytes.size(); i += step) {
            if (!client.send(c.bytes.substr(i, step)) || (c.trickle && !client.stays_quiet(100))) break;
        }
        if (c.served) {
            EXPECT_EQ(client.recv_until("ok"), kAnswer);
            if (!c.then_silent) continue;
            begin = std::chrono::steady_clock::now();
        }
        bool ended = false;
        EXPECT_EQ(client.recv_to_end(&ended), "");
        EXPECT_TRUE(ended);
        auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(took, std::chrono::milliseconds(kDeadlineMs - 50));
        EXPECT_LT(took, std::chrono::milliseconds(kDeadlineMs + 1500));
        EXPECT_TRUE(wait_until([] { return g.active_connections.load() == 0; }));
    }
    EXPECT_EQ(backend.accepted(), 2);
    EXPECT_EQ(g.total_connections.load(), static_cast<int>(std::size(cases)));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FaultHead, ::testing::Values(Mode{"Plain", false}, Mode{"Tls", true}),
    [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });

}  // namespace
