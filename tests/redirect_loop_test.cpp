// The redirect listener thread on real loopback sockets, run on its own
// without the rest of the service.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "listener.h"
#include "platform/thread.h"
#include "redirect/redirect_loop.h"
#include "state.h"
#include "support/loopback.h"
#include "support/ports.h"

namespace {

using loopback::Fd;

std::string response_to(const std::string& location) {
    return "HTTP/1.1 301 Moved Permanently\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

template <size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

class RedirectLoop : public ::testing::Test {
protected:
    void SetUp() override {
        clear_state(g);
        strcpy(g_err, "earlier message");
        fds_before_ = ports::open_descriptor_count();
    }

    void TearDown() override {
        EXPECT_TRUE(stop()) << "the thread ends within the listener wait";
        EXPECT_EQ(ports::open_descriptor_count(), fds_before_) << "every socket is closed";
        clear_state(g);
        g_err[0] = '\0';
    }

    // Opens a listener on a free port and starts the thread on it for
    // `generation` (the current one unless given).
    void start(int listen_port, unsigned generation) {
        g.listen_port = listen_port;
        sock_ = tcp_listen(0);
        ASSERT_NE(sock_, plat::kNoSocket);
        port_ = plat::socket_local_port(sock_);
        auto* args = new ListenerArgs{sock_, generation};
        ASSERT_TRUE(thread_.start(redirect_loop, args, plat::kListenerStack));
    }
    void start(int listen_port = 8443) { start(listen_port, g.generation.load()); }

    // Ends the thread as a stop does, then closes the listening socket, which
    // the stop owns. True when the thread ended within the wait.
    bool stop() {
        bool ended = true;
        if (thread_.joinable()) {
            g.stop_requested.set();
            plat::socket_shutdown(sock_);
            ended = thread_.join_for(6000);
            g.stop_requested.clear();
        }
        plat::socket_close(sock_);
        sock_ = plat::kNoSocket;
        return ended;
    }

    // Sends a request and returns all the listener answers before it closes.
    std::string ask(const std::string& request) {
        Fd c = loopback::connect_to(port_);
        EXPECT_TRUE(c.valid());
        EXPECT_TRUE(loopback::send_all(c.get(), request));
        bool closed = false;
        std::string got = loopback::recv_all_until_close(c.get(), loopback::kWaitMs, &closed);
        EXPECT_TRUE(closed) << "the connection is closed after the response";
        return got;
    }

    plat::Socket sock_ = plat::kNoSocket;
    int port_ = 0;
    plat::Thread thread_;
    int fds_before_ = 0;
};

const std::string kExampleHead =
    "GET /shop/cart?id=7 HTTP/1.1\r\nHost: a.example:8080\r\nAccept: */*\r\n\r\n";

TEST_F(RedirectLoop, ExampleWithAnotherPortNamesIt) {
    start(8443);
    EXPECT_EQ(ask(kExampleHead), response_to("https://a.example:8443/shop/cart?id=7"));
}

TEST_F(RedirectLoop, ExampleWithPort443LeavesItOut) {
    start(443);
    EXPECT_EQ(ask(kExampleHead), response_to("https://a.example/shop/cart?id=7"));
}

// Cases where the sockets matter: bytes left unread when the listener
// closes, and the Location check of a request crafted to inject headers.
// The rest of the parsing is covered without sockets.
TEST_F(RedirectLoop, AnswersFromWhatItReceived) {
    struct Case {
        const char* name;
        std::string request;
        std::string location;
    };
    std::vector<Case> cases = {
        {"body after the head is ignored", "POST /form HTTP/1.1\r\nHost: b.example\r\n\r\nname=v",
         "https://b.example:8443/form"},
        {"Host beyond the first 4095 bytes is not seen",
         "GET /big HTTP/1.1\r\nX-Pad: " + std::string(4100, 'p') + "\r\nHost: h\r\n\r\n",
         "https://localhost:8443/big"},
        {"one space: CR LF of the target encoded, no header added",
         "GET /a\r\nSet-Cookie: x=1\r\n\r\n", "https://localhost:8443/a%0D%0ASet-Cookie:"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ask(c.request), response_to(c.location));
    }
}

// With the end of the head hidden behind a NUL the listener reads on, so the
// client ends its sending to get the answer.
TEST_F(RedirectLoop, NulEndsTheTextThatIsSearched) {
    start();
    Fd c = loopback::connect_to(port_);
    ASSERT_TRUE(loopback::send_all(c.get(), bytes("GET /a\0 HTTP/1.1\r\nHost: h\r\n\r\n")));
    loopback::shutdown_write(c.get());
    EXPECT_EQ(loopback::recv_all_until_close(c.get()), response_to("https://localhost:8443/"));
}

TEST_F(RedirectLoop, ClientThatSendsNothingGetsTheDefaults) {
    start();
    Fd c = loopback::connect_to(port_);
    loopback::shutdown_write(c.get());
    EXPECT_EQ(loopback::recv_all_until_close(c.get()), response_to("https://localhost:8443/"));
}

// The response to a client that is already gone fails to send; that must
// neither raise SIGPIPE in the host nor stop the listener.
TEST_F(RedirectLoop, ClientsThatLeaveAtOnceDoNotDisturbTheNext) {
    start();
    for (int i = 0; i < 3; ++i) {
        Fd closed = loopback::connect_to(port_);
        closed.reset();
        Fd reset = loopback::connect_to(port_);
        loopback::reset_close(reset);
    }
    EXPECT_EQ(ask(kExampleHead), response_to("https://a.example:8443/shop/cart?id=7"));
}

TEST_F(RedirectLoop, HeadSentInPiecesIsReassembled) {
    start();
    Fd c = loopback::connect_to(port_);
    for (size_t at = 0; at < kExampleHead.size(); at += 7) {
        ASSERT_TRUE(loopback::send_all(c.get(), kExampleHead.substr(at, 7)));
    }
    EXPECT_EQ(loopback::recv_all_until_close(c.get()),
              response_to("https://a.example:8443/shop/cart?id=7"));
}

TEST_F(RedirectLoop, ClientsConnectingTogetherAreAnsweredInTurn) {
    start();
    Fd first = loopback::connect_to(port_);
    Fd second = loopback::connect_to(port_);
    ASSERT_TRUE(first.valid() && second.valid());
    ASSERT_TRUE(loopback::send_all(second.get(), "GET /2 HTTP/1.1\r\nHost: two\r\n\r\n"));
    ASSERT_TRUE(loopback::send_all(first.get(), "GET /1 HTTP/1.1\r\nHost: one\r\n\r\n"));
    EXPECT_EQ(loopback::recv_all_until_close(first.get()), response_to("https://one:8443/1"));
    EXPECT_EQ(loopback::recv_all_until_close(second.get()), response_to("https://two:8443/2"));
}

// Slow: about 3 s each, the client's deadline. A client that sends nothing,
// or trickles its head a byte at a time, holds the next client only until
// its one deadline, and is answered from what it sent.
TEST_F(RedirectLoop, SlowClientHoldsTheNextOnlyUntilItsDeadline) {
    struct Case {
        const char* name;
        std::string sent;
        bool trickle;  // one more byte every 400 ms, never the end of the head
        std::string location;
    };
    const Case cases[] = {
        {"silent", "", false, "https://localhost:8443/"},
        {"trickling", "GET /slow HTTP/1.1\r\nHost: h\r\n", true, "https://h:8443/slow"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fd slow = loopback::connect_to(port_);
        ASSERT_TRUE(loopback::send_all(slow.get(), c.sent));
        auto began = std::chrono::steady_clock::now();
        std::atomic<bool> answered{false};
        std::thread trickler([&] {
            while (c.trickle && !answered && !loopback::peer_closed(slow.get(), 0)) {
                loopback::send_all(slow.get(), "X");
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            }
        });
        Fd next = loopback::connect_to(port_);
        ASSERT_TRUE(loopback::send_all(next.get(), kExampleHead));
        const int wait_ms = kRedirectReadTimeoutMs + loopback::kWaitMs;
        EXPECT_EQ(loopback::recv_all_until_close(next.get(), wait_ms),
                  response_to("https://a.example:8443/shop/cart?id=7"));
        auto took = std::chrono::steady_clock::now() - began;
        answered = true;
        trickler.join();
        EXPECT_GE(took, std::chrono::milliseconds(kRedirectReadTimeoutMs / 2))
            << "the next client waits for the slow one";
        EXPECT_LT(took, std::chrono::milliseconds(kRedirectReadTimeoutMs + 1500))
            << "one deadline for the whole head";
        EXPECT_EQ(loopback::recv_until(slow.get(), "\r\n\r\n"), response_to(c.location));
    }
}

// A client still sending a body after its head gets the whole 301: its input
// is taken and dropped until it closes, so no reset destroys the answer.
TEST_F(RedirectLoop, ClientUploadingABodyGetsTheWholeAnswer) {
    start();
    Fd c = loopback::connect_to(port_);
    ASSERT_TRUE(loopback::send_all(c.get(), "POST /up HTTP/1.1\r\nHost: u\r\n\r\n"));
    std::thread uploader([fd = c.get()] {
        std::string chunk(65536, 'b');
        for (int i = 0; i < 64 && loopback::send_all(fd, chunk); ++i) {
        }
    });
    EXPECT_EQ(loopback::recv_until(c.get(), "\r\n\r\n"), response_to("https://u:8443/up"));
    loopback::shutdown_write(c.get());
    uploader.join();
}

TEST_F(RedirectLoop, LeavesCountersAndLastErrorAlone) {
    g.route_count = 1;
    g.routes[0].hits = 3;
    g.routes[0].errors = 4;
    g.active_connections = 1;
    g.total_connections = 2;
    start();
    ask(kExampleHead);
    ask("GET / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(stop());
    EXPECT_EQ(g.routes[0].hits.load(), 3);
    EXPECT_EQ(g.routes[0].errors.load(), 4);
    EXPECT_EQ(g.active_connections.load(), 1);
    EXPECT_EQ(g.total_connections.load(), 2);
    EXPECT_STREQ(g_err, "earlier message");
}

// A thread of a start that is over serves its client to the end, then ends
// instead of accepting again, even with the stop flag cleared. The listening
// socket is not its own to close.
TEST_F(RedirectLoop, ThreadOfAnEndedGenerationFinishesItsClientAndEnds) {
    if (!ports::sees_accepts()) GTEST_SKIP() << "sees the accept only in the descriptor count (Linux)";
    start();
    int fds_before = ports::open_descriptor_count();
    Fd c = loopback::connect_to(port_);
    ASSERT_TRUE(loopback::send_all(c.get(), "GET /late HTTP/1.1\r\nHost: h\r\n"));
    // The accept adds the server side's descriptor to this process: the one
    // sign from outside that the listener has taken the client.
    ASSERT_TRUE(loopback::wait_until(
        [&] { return ports::open_descriptor_count() == fds_before + 2; }))
        << "the listener accepts the client";

    g.stop_requested.set();
    g.generation.fetch_add(1);
    g.stop_requested.clear();

    ASSERT_TRUE(loopback::send_all(c.get(), "\r\n"));
    EXPECT_EQ(loopback::recv_until(c.get(), "\r\n\r\n"), response_to("https://h:8443/late"));
    c.reset();
    EXPECT_TRUE(thread_.join_for(loopback::kWaitMs));
}

TEST_F(RedirectLoop, ThreadOfAnEndedGenerationNeverAccepts) {
    start(8443, g.generation.load() - 1);
    EXPECT_TRUE(thread_.join_for(loopback::kWaitMs));
}

// A stop (the listening socket shut down) ends the client being served at
// once, without an answer.
TEST_F(RedirectLoop, StopEndsTheClientBeingServedWithoutAnAnswer) {
    if (!ports::sees_accepts()) GTEST_SKIP() << "sees the accept only in the descriptor count (Linux)";
    start();
    int fds_before = ports::open_descriptor_count();
    Fd c = loopback::connect_to(port_);
    ASSERT_TRUE(loopback::send_all(c.get(), "GET /x HTTP/1.1\r\n"));
    ASSERT_TRUE(loopback::wait_until(
        [&] { return ports::open_descriptor_count() == fds_before + 2; }));
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(stop());
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
    bool closed = false;
    EXPECT_EQ(loopback::recv_all_until_close(c.get(), loopback::kWaitMs, &closed), "");
    EXPECT_TRUE(closed);
}

}  // namespace
