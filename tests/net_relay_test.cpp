// Relaying: bulk integrity through the byte pipe after an upgrade, a body
// and an answer that stream, which side ends it, and peers that vanish
// mid-transfer.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/backend.h"
#include "net/relay.h"
#include "platform/socket.h"
#include "net_service.h"
#include "support/sockets.h"

namespace {

using loopback::send_all;
using loopback::TestBackend;
using nettest::get;

class NetRelay : public nettest::Service {};

// A reproducible byte stream, so that each side can check what it got
// without keeping it.
struct Stream {
    uint64_t state;
    uint8_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint8_t>(state >> 56);
    }
    void fill(char* buf, size_t n) {
        for (size_t i = 0; i < n; ++i) buf[i] = static_cast<char>(next());
    }
};

// Sends `total` bytes of stream `seed` on fd; false on a failed send.
bool send_stream(int fd, uint64_t seed, size_t total) {
    Stream s{seed};
    char buf[65536];
    for (size_t sent = 0; sent < total;) {
        size_t n = std::min(sizeof buf, total - sent);
        s.fill(buf, n);
        if (!send_all(fd, std::string_view(buf, n))) return false;
        sent += n;
    }
    return true;
}

// Receives `total` bytes on fd and compares them with stream `seed`.
// Returns the count of bytes that matched before the first difference or end.
size_t check_stream(int fd, uint64_t seed, size_t total) {
    Stream s{seed};
    char buf[65536];
    size_t good = 0;
    while (good < total) {
        ssize_t n = sockets::recv(fd, buf, std::min(sizeof buf, total - good));
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (static_cast<uint8_t>(buf[i]) != s.next()) return good;
            ++good;
        }
    }
    return good;
}

// Reads one byte at a time up to the end of the forwarded head, so that no
// byte of the body after it is consumed.
void skip_head(int fd) {
    std::string got;
    char c;
    while (!got.ends_with("\r\n\r\n") && sockets::recv(fd, &c, 1) == 1) got += c;
}

// 64 MiB each way at the same time through the pipe after a 101, checked
// byte for byte. (A few seconds.)
TEST_F(NetRelay, BulkBothWaysAtOnce) {
    constexpr size_t kBytes = 64u << 20;
    std::atomic<size_t> backend_good{0};
    std::atomic<bool> backend_sent{false};
    TestBackend backend([&](int fd) {
        // Skip the forwarded head, then stream back while checking the upload.
        skip_head(fd);
        if (!send_all(fd, nettest::kSwitching)) return;
        std::thread up([&] { backend_sent = send_stream(fd, 2, kBytes); });
        backend_good = check_stream(fd, 1, kBytes);
        up.join();
    });
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), nettest::upgrade("/bulk")));
    bool client_sent = false;
    std::thread up([&] { client_sent = send_stream(c.get(), 1, kBytes); });
    skip_head(c.get());
    size_t client_good = check_stream(c.get(), 2, kBytes);
    up.join();
    EXPECT_TRUE(client_sent);
    EXPECT_EQ(client_good, kBytes);
    EXPECT_TRUE(loopback::wait_until([&] { return backend_good.load() == kBytes; }));
    EXPECT_TRUE(backend_sent);
    EXPECT_EQ(hits(0), 1);
}

// The client closing ends the relay and the backend sees its end of stream.
TEST_F(NetRelay, ClientCloseReachesBackend) {
    TestBackend backend;
    ASSERT_TRUE(start({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), get("/")));
    ASSERT_TRUE(backend.wait_received(0, "\r\n\r\n"));
    c.reset();
    EXPECT_TRUE(loopback::wait_until([&] { return backend.peer_gone(0); }));
    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
}

// A peer that resets mid-transfer ends only its own connection. The test
// process does not ignore SIGPIPE, so a send that raised it would kill it.
TEST_F(NetRelay, ResetsMidTransferEndOnlyThatConnection) {
    constexpr size_t kBytes = 8u << 20;
    TestBackend streamer([&](int fd) {
        skip_head(fd);
        if (!send_all(fd, nettest::kUntilClose)) return;
        send_stream(fd, 3, kBytes);
        loopback::recv_all_until_close(fd);
    });
    TestBackend sink;
    ASSERT_TRUE(start({{"", "/down", streamer.port()}, {"", "/up", sink.port()}}));

    // The client resets while the backend is still streaming to it.
    loopback::Fd down = client();
    ASSERT_TRUE(send_all(down.get(), get("/down")));
    skip_head(down.get());
    EXPECT_EQ(check_stream(down.get(), 3, 1u << 20), 1u << 20);
    loopback::reset_close(down);

    // The backend resets while the client is still uploading.
    loopback::Fd up = client();
    ASSERT_TRUE(send_all(up.get(), nettest::upload("/up", kBytes)));
    ASSERT_TRUE(sink.wait_received(0, "\r\n\r\n"));
    std::thread uploader([&] { send_stream(up.get(), 4, kBytes); });
    ASSERT_TRUE(sink.wait_received(0, size_t{1} << 20));
    sink.reset_connection(0);
    uploader.join();
    EXPECT_TRUE(loopback::peer_closed(up.get()));

    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
    EXPECT_EQ(hits(0), 1);
    EXPECT_EQ(hits(1), 1);
    loopback::Fd c = client();
    ASSERT_TRUE(send_all(c.get(), get("/up")));
    EXPECT_TRUE(sink.wait_received(1, "\r\n\r\n")) << "the service stopped serving";
}

}  // namespace

namespace {

// A connected loopback pair: `own` plays the proxy's socket, `peer` its peer.
// (Not near/far: Windows headers define those as macros.)
struct Pair {
    loopback::Fd own, peer;
};

Pair connected_pair(int far_rcvbuf = 0) {
    loopback::Fd listener(sockets::tcp_socket());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener.get(), 1);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    Pair p;
    p.peer.reset(sockets::tcp_socket());
    if (far_rcvbuf) {
        sockets::set_option(p.peer.get(), SOL_SOCKET, SO_RCVBUF, &far_rcvbuf, sizeof far_rcvbuf);
    }
    sockets::connect(p.peer.get(), addr);
    // The library's accept: it sets its sockets up its own way on each system.
    p.own.reset(static_cast<int>(
        plat::socket_accept(static_cast<plat::Socket>(listener.get()), nullptr, 0)));
    return p;
}

// The relay thread is stuck writing to a client that does not read when the
// client direction ends. The tear-down waits its 6 s for that thread, then
// wakes the client's side, which ends the write, and joins it. The client
// direction ends with the client's own end of stream: it half-closes and
// never reads, so no window update can unstick the write. Socket buffers are
// made small so the stuck state does not depend on the kernel's buffer
// sizing. (Slow: about 6 s.)
TEST(NetRelayTearDown, StuckClientWriteEndsAfterItsWait) {
    Pair client = connected_pair(4096);
    Pair backend = connected_pair();
    ASSERT_TRUE(client.own.valid() && backend.own.valid());
    // A small fixed send buffer leaves no slack that a wake-up of the
    // blocked write (any state change of the socket) could let it fill.
    int small = 4096;
    sockets::set_option(client.own.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::atomic<size_t> flooded{0};
    std::thread flood([&] {
        // An answer that runs until the backend closes.
        char buf[65536] = "HTTP/1.1 200 OK\r\n\r\n";
        while (sockets::send(backend.peer.get(), buf, sizeof buf) > 0) {
            flooded += sizeof buf;
            buf[0] = 'x';
        }
    });
    ConnArgs args;
    ClientConn conn{};
    conn.sock = client.own.get();
    conn.woken = &args.woken;
    Exchange x;
    x.forwarded.store(1);
    x.bodies_sent.store(1);
    Backend b;
    b.route = 0;
    b.sock = backend.own.get();
    b.relay.conn = &conn;
    b.relay.args = &args;
    b.relay.x = &x;
    b.relay.backend_sock = b.sock;
    ASSERT_TRUE(g.relay_workers.run(backend_to_client, &b.relay));
    std::atomic<bool> returned{false};
    std::thread connection([&] {
        char scratch[64];
        while (client_read(conn, scratch, sizeof scratch) > 0) {
        }
        backend_close(b, conn, args);
        returned = true;
    });

    // Every buffer on the way is full once the flood stops growing.
    size_t last = 0;
    int quiet = 0;
    ASSERT_TRUE(loopback::wait_until([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t now = flooded.load();
        quiet = (now > 0 && now == last) ? quiet + 1 : 0;
        last = now;
        return quiet >= 3;
    }));
    auto begin = std::chrono::steady_clock::now();
    sockets::shutdown_write(client.peer.get());
    EXPECT_TRUE(loopback::wait_until([&] { return returned.load(); }, 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(5500));
    if (!returned) sockets::shutdown_and_wake(client.own.get());  // a failed test must not hang
    connection.join();
    backend.own.reset();  // the backend's owner closes it: the flood fails
    flood.join();
    EXPECT_EQ(args.client_end.load(), kEndCut) << "a client that never read got a cut answer";
    EXPECT_TRUE(g.relay_workers.drain(2000));  // the parked relay thread goes too
}

}  // namespace
