// Connection intake: one thread per client, exact counters, and a stop that
// ends every connection still open.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net_service.h"

namespace {

using loopback::send_all;
using loopback::TestBackend;
using nettest::get;

class NetIntake : public nettest::Service {};

TEST_F(NetIntake, CountsWhileServedAndAfterClose) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 1; }));
    EXPECT_EQ(g.total_connections.load(), 1);
    c.reset();
    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
    EXPECT_EQ(g.total_connections.load(), 1);
}

// Hundreds of clients at once, each relayed on threads of its own, with
// every counter exact while they are open and after they have gone.
TEST_F(NetIntake, HundredsOfConcurrentConnections) {
    constexpr int kClients = 300;
    TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    TestBackend backend(script);
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    std::vector<loopback::Fd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(client());
        ASSERT_TRUE(clients.back().valid()) << i;
        ASSERT_TRUE(send_all(clients.back().get(), get("/n/" + std::to_string(i))));
        // Keep within the listen backlog of 32: a full accept queue drops
        // handshakes, and the client's retries would take seconds.
        if (i % 16 == 15) {
            ASSERT_TRUE(loopback::wait_until([&] { return g.total_connections.load() > i; }));
        }
    }
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(loopback::recv_until(clients[static_cast<size_t>(i)].get(), "ok")
                        .ends_with("ok")) << i;
    }
    EXPECT_EQ(g.active_connections.load(), kClients);
    EXPECT_EQ(g.total_connections.load(), kClients);
    EXPECT_EQ(hits(0), kClients);
    EXPECT_EQ(backend.accepted(), kClients);
    clients.clear();
    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
    EXPECT_EQ(g.total_connections.load(), kClients);
}

// Stop with a relaying client, a silent one, one half-way through its head,
// one idle after an answer and one whose answer completes during stop's
// drain: those waiting for a head with nothing under way end at once (the
// last one as soon as its answer is out), the relaying one after the bounded
// drain, so stop returns in about 5 s with no connection thread left. (Slow:
// about 5 s.)
TEST_F(NetIntake, StopEndsConnectionsThatStayOpen) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    TestBackend backend;
    TestBackend::Script script;
    script.reply = answer;
    TestBackend answering(script);
    TestBackend late([&](int fd) {
        loopback::recv_until(fd, "\r\n\r\n");
        loopback::wait_until([] { return g.stop_requested.is_set(); });
        send_all(fd, answer);
        loopback::recv_all_until_close(fd);
    });
    ASSERT_TRUE(start({{"", "/", backend.port()}, {"", "/answered", answering.port()},
                       {"", "/late", late.port()}}));
    loopback::Fd relaying = client();
    ASSERT_TRUE(send_all(relaying.get(), get("/")));
    ASSERT_TRUE(backend.wait_received(0, "\r\n\r\n"));
    loopback::Fd silent = client();
    loopback::Fd half = client();
    ASSERT_TRUE(send_all(half.get(), "GET / HTTP/1.1\r\nHost"));
    loopback::Fd idle = client();
    ASSERT_TRUE(send_all(idle.get(), get("/answered")));
    EXPECT_EQ(loopback::recv_until(idle.get(), "ok"), answer);
    loopback::Fd answered_late = client();
    ASSERT_TRUE(send_all(answered_late.get(), get("/late")));
    ASSERT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 5; }));

    auto begin = std::chrono::steady_clock::now();
    std::thread stop([] { EXPECT_EQ(proxy_stop(), 0); });
    EXPECT_EQ(loopback::recv_until(answered_late.get(), "ok"), answer);
    for (int fd : {silent.get(), half.get(), idle.get(), answered_late.get()}) {
        EXPECT_TRUE(loopback::peer_closed(fd, 1000));
    }
    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 1; }, 1000));
    stop.join();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::milliseconds(7000));
    EXPECT_EQ(g.active_connections.load(), 0);
    EXPECT_EQ(proxy_status(), 0);
    EXPECT_TRUE(loopback::peer_closed(relaying.get(), 1000));
    EXPECT_TRUE(loopback::wait_until([&] { return backend.peer_gone(0); }));
}

// Each cap closes the connection over it at once, before reading from it,
// and counts it nowhere; a second client address is served while the first
// is at its own cap, or once a connection leaves under the overall cap.
TEST_F(NetIntake, ConnectionsOverACapAreClosedAtOnce) {
    const struct {
        const char* members;
        bool second_address_served_meanwhile;
    } cases[] = {{",\"max_connections\":2", false}, {",\"max_connections_per_client\":2", true}};
    TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    TestBackend backend(script);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        EXPECT_EQ(proxy_stop(), 0);
        ASSERT_TRUE(start({{"", "/", backend.port()}}, c.members));
        loopback::Fd held[] = {client(), client()};
        ASSERT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 2; }));
        loopback::Fd over = client();
        ASSERT_TRUE(send_all(over.get(), get("/")));
        EXPECT_TRUE(loopback::peer_closed(over.get(), 1000));
        loopback::Fd other = client("127.0.0.2");
        ASSERT_TRUE(send_all(other.get(), get("/")));
        if (!c.second_address_served_meanwhile) {
            EXPECT_TRUE(loopback::peer_closed(other.get(), 1000));
            held[1].reset();
            ASSERT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 1; }));
            other = client("127.0.0.2");
            ASSERT_TRUE(send_all(other.get(), get("/")));
        }
        EXPECT_TRUE(loopback::recv_until(other.get(), "ok").ends_with("ok"));
        EXPECT_EQ(g.total_connections.load(), 3);
    }
}

// Connections that end during the drain wait let stop return without its full wait.
TEST_F(NetIntake, StopReturnsOnceConnectionsEnd) {
    TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\n\r\n";
    script.close_after_reply = true;
    TestBackend backend(script);
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), get("/")));
    EXPECT_TRUE(loopback::recv_until(c.get(), "\r\n\r\n").starts_with("HTTP/1.1 200 OK"));
    c.reset();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2000));
}

// A client that connects and leaves at once costs a thread that ends, and
// the accept thread goes on accepting. Each leaves once it was accepted:
// Windows drops a connection reset while it waits in the backlog.
TEST_F(NetIntake, ClientsThatLeaveAtOnce) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    for (int i = 0; i < 20; ++i) {
        loopback::Fd c = client();
        ASSERT_TRUE(c.valid());
        ASSERT_TRUE(loopback::wait_until([&] { return g.total_connections.load() == i + 1; }));
        if (i % 2) loopback::reset_close(c);
    }
    EXPECT_TRUE(loopback::wait_until([] { return g.total_connections.load() == 20; }));
    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), get("/")));
    EXPECT_TRUE(backend.wait_received(0, "\r\n\r\n"));
}

}  // namespace
