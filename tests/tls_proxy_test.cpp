// The running service with TLS on: real clients (openssl s_client and an
// mbedTLS client) against the main port, with scripted backends behind it.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net_service.h"
#include "support/certs.h"
#include "support/command.h"
#include "support/ports.h"
#include "support/tls_client.h"
#include "support/sockets.h"

namespace {

using loopback::kWaitMs;
using loopback::TestBackend;
using nettest::get;
using tlsclient::Client;
using tlsclient::Pattern;
using tlsclient::PatternCheck;
using tlsclient::Transfer;

constexpr uint32_t kUpSeed = 0x2468ace;
constexpr uint32_t kDownSeed = 0x1357bdf;

// Reads the request head and answers 101, then moves the client's stream and
// its own at once on two threads through the pipe: checks that what comes
// is the up pattern and sends down_len bytes of the down pattern (without
// end when down_len is 0: until a send fails).
struct StreamingBackend {
    size_t down_len = 0;
    PatternCheck got{kUpSeed};
    std::atomic<size_t> got_count{0};
    std::atomic<bool> got_ok{true};
    // Set once a send found the proxy not reading: every buffer on the way
    // to the client is full.
    std::atomic<bool> down_blocked{false};

    void serve(int fd) {
        std::string head;
        char buf[16384];
        size_t end = std::string::npos;
        while (end == std::string::npos) {
            ssize_t n = sockets::recv(fd, buf, sizeof buf);
            if (n <= 0) return;
            head.append(buf, static_cast<size_t>(n));
            end = head.find("\r\n\r\n");
        }
        if (!loopback::send_all(fd, nettest::kSwitching)) return;
        std::thread sender([&] { send_down(fd); });
        take(head.data() + end + 4, head.size() - end - 4);
        for (;;) {
            ssize_t n = sockets::recv(fd, buf, sizeof buf);
            if (n <= 0) break;
            take(buf, static_cast<size_t>(n));
        }
        sender.join();
    }

private:
    void take(const char* p, size_t n) {
        got_ok = got.feed(p, n);
        got_count = got.count();
    }
    void send_down(int fd) {
        Pattern p(kDownSeed);
        char buf[16384];
        for (size_t sent = 0; down_len == 0 || sent < down_len;) {
            size_t n = down_len == 0 ? sizeof buf : std::min(sizeof buf, down_len - sent);
            p.fill(buf, n);
            if (!send_all_noting_blocks(fd, buf, n)) return;
            sent += n;
        }
    }
    bool send_all_noting_blocks(int fd, const char* p, size_t n) {
        while (n > 0) {
            long k = sockets::send_now(fd, p, n);
            if (k > 0) {
                p += k;
                n -= static_cast<size_t>(k);
            } else if (k < 0 && sockets::would_block()) {
                down_blocked = true;
                sockets::wait(fd, POLLOUT, 100);
            } else if (k < 0) {
                return false;
            }
        }
        return true;
    }
};

class TlsProxy : public nettest::Service {
protected:
    bool start_tls(const std::vector<nettest::RouteSpec>& routes, const std::string& cert,
                   const std::string& key) {
        if (cert.empty()) return false;
        return start(routes, ",\"tls_cert\":\"" + cert + "\",\"tls_key\":\"" + key + "\"");
    }
    bool start_tls(const std::vector<nettest::RouteSpec>& routes) {
        return start_tls(routes, files().ec_cert, files().ec_key);
    }
    static const testcerts::CertFiles& files() { return testcerts::cert_files(); }

    std::string s_client(const std::string& options) {
        return "openssl s_client -connect 127.0.0.1:" + std::to_string(port_) + " " + options;
    }
};

// TLS 1.2 and 1.3 clients complete the handshake; a TLS 1.1 client is
// refused by the server (its own security level is lowered so that the
// refusal is not the client's).
TEST_F(TlsProxy, AcceptsTls12AndTls13AndRefusesOlder) {
    if (!command::available()) GTEST_SKIP() << "needs the openssl command line";
    TestBackend backend;
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    struct Case {
        const char* options;
        bool succeeds;
        const char* expected;  // in the client's report
    };
    const Case cases[] = {
        {"-tls1_2", true, "Protocol version: TLSv1.2"},
        {"-tls1_3", true, "Protocol version: TLSv1.3"},
        {"-tls1_1 -cipher DEFAULT:@SECLEVEL=0", false, "alert protocol version"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        command::Result r = command::run(s_client(std::string("-brief ") + c.options));
        EXPECT_EQ(r.exit_code == 0, c.succeeds) << r.output;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << r.output;
    }
    EXPECT_TRUE(loopback::wait_until([] { return g.total_connections.load() == 3; }));
    EXPECT_EQ(backend.accepted(), 0);
}

// The server sends its certificate file's chain in file order, and a client
// that trusts only the root can verify it.
TEST_F(TlsProxy, SendsTheChainInFileOrder) {
    if (!command::available()) GTEST_SKIP() << "needs the openssl command line";
    TestBackend backend;
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}, files().chain_cert, files().chain_key));
    command::Result r = command::run(s_client("-showcerts -verify_return_error -CAfile " +
                                   files().root_cert + " -verify_hostname localhost"));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    size_t leaf = r.output.find(" 0 s:CN = localhost");
    size_t intermediate = r.output.find(" 1 s:CN = VK Test Intermediate");
    ASSERT_NE(leaf, std::string::npos) << r.output;
    ASSERT_NE(intermediate, std::string::npos) << r.output;
    EXPECT_LT(leaf, intermediate);
    EXPECT_EQ(r.output.find(" 2 s:"), std::string::npos) << "the root was not in the file";
    EXPECT_NE(r.output.find("Verify return code: 0 (ok)"), std::string::npos) << r.output;
}

// The start checks that the key belongs to the certificate: a pair that
// does not fit fails it and leaves nothing bound; a good pair of either kind
// starts.
TEST_F(TlsProxy, OnlyAKeyOfTheCertificateStarts) {
    const testcerts::CertFiles& f = files();
    const struct {
        std::string cert, key;
        bool starts;
    } cases[] = {
        {f.ec_cert, f.other_key, false}, {f.rsa_cert, f.other_rsa_key, false},
        {f.ec_cert, f.rsa_key, false},   {f.ec_cert, f.ec_key, true},
        {f.rsa_cert, f.rsa_key, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cert + " with " + c.key);
        port_ = loopback::free_port();
        const std::string tls = ",\"tls_cert\":\"" + c.cert + "\",\"tls_key\":\"" + c.key + "\"";
        EXPECT_EQ(proxy_start(nettest::config_json(port_, {{"", "/", 9}}, tls).c_str()), c.starts ? 0 : -1);
        EXPECT_STREQ(proxy_last_error(), c.starts ? "" : "conf own cert failed (key/cert mismatch?)");
        EXPECT_EQ(proxy_status(), c.starts ? 1 : 0);
        EXPECT_EQ(g.tls_ready, c.starts ? 1 : 0);
        if (!c.starts) {
            EXPECT_TRUE(ports::HeldPort(port_).held()) << "the port is still bound";
        }
        EXPECT_EQ(proxy_stop(), 0);
    }
}

// Plain HTTP to the TLS port: the handshake fails, the client gets no HTTP
// response and no close-notify, and the connection is counted like any other.
TEST_F(TlsProxy, PlainHttpGetsNoResponseAndIsCounted) {
    TestBackend backend;
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    loopback::Fd c = client();
    ASSERT_TRUE(c.valid());
    ASSERT_TRUE(loopback::send_all(c.get(), get("/")));
    bool closed = false;
    std::string got = loopback::recv_all_until_close(c.get(), kWaitMs, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got.find("HTTP/"), std::string::npos) << got;
    // Before any keys exist a close-notify would travel in the clear.
    EXPECT_EQ(got.find(std::string("\x15\x03\x03\x00\x02\x01\x00", 7)), std::string::npos);
    EXPECT_EQ(g.total_connections.load(), 1);
    EXPECT_EQ(backend.accepted(), 0);
}

// After a completed exchange the client receives a close-notify, not a bare
// end of the TCP connection. The backend learns that the client spoke https.
TEST_F(TlsProxy, ClosesWithCloseNotifyAfterARequest) {
    TestBackend::Script script;
    script.reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    script.close_after_reply = true;
    TestBackend backend(script);
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    for (auto version : {MBEDTLS_SSL_VERSION_TLS1_2, MBEDTLS_SSL_VERSION_TLS1_3}) {
        tlsclient::Options opt;
        opt.min_version = opt.max_version = version;
        Client c(opt);
        ASSERT_TRUE(c.connect(port_)) << c.handshake_result();
        ASSERT_TRUE(c.send(get("/")));
        int end = 1;
        EXPECT_EQ(c.read_to_end(&end), script.reply);
        EXPECT_EQ(end, MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY);
    }
    EXPECT_NE(backend.received(0).find("\r\nX-Forwarded-Proto: https\r\n"), std::string::npos);
}

// Bulk data both ways at once through the proxy, every byte checked.
TEST_F(TlsProxy, RelaysBulkDataBothWaysAtOnce) {
    constexpr size_t kBytes = 32u << 20;
    StreamingBackend script;
    script.down_len = kBytes;
    TestBackend backend([&](int fd) { script.serve(fd); });
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    Client c;
    ASSERT_TRUE(c.connect(port_)) << c.handshake_result();
    ASSERT_TRUE(c.send(nettest::upgrade("/upload")));
    ASSERT_EQ(c.read_head(), nettest::kSwitching);
    Transfer t(kUpSeed, kBytes, kDownSeed, kBytes);
    EXPECT_TRUE(c.pump(t, 6 * kWaitMs)) << "sent " << t.sent << ", end " << t.end;
    EXPECT_TRUE(t.in.ok());
    EXPECT_EQ(t.in.count(), kBytes);
    EXPECT_TRUE(loopback::wait_until([&] { return script.got_count.load() == kBytes; }));
    EXPECT_TRUE(script.got_ok.load());
}

// A client that stops reading while its backend streams still gets its own
// bytes through to the backend, and stop ends the connection within its
// bound. Slow: stop sits out its drain wait (about 5 s) for this connection.
TEST_F(TlsProxy, ClientThatStopsReadingStallsNeitherTheOtherWayNorStop) {
    constexpr size_t kUpBytes = 2u << 20;
    StreamingBackend script;  // streams until the proxy goes away
    TestBackend backend([&](int fd) { script.serve(fd); });
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    Client c;
    ASSERT_TRUE(c.connect(port_)) << c.handshake_result();
    ASSERT_TRUE(c.send(nettest::upgrade("/")));
    // Once the backend cannot send, the relay thread is stuck writing to the
    // client; the client's own bytes must still go through.
    EXPECT_TRUE(loopback::wait_until([&] { return script.down_blocked.load(); }));
    Transfer up(kUpSeed, kUpBytes, 0, 0);
    EXPECT_TRUE(c.pump(up));
    EXPECT_TRUE(loopback::wait_until([&] { return script.got_count.load() == kUpBytes; }));
    EXPECT_TRUE(script.got_ok.load());
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(8000));
    EXPECT_EQ(g.active_connections.load(), 0);
}

// A TLS 1.2 client asks to renegotiate mid-stream; the proxy refuses and
// loses or repeats no byte in either direction.
TEST_F(TlsProxy, RenegotiationRequestMidStreamLosesNoData) {
    constexpr size_t kUpBytes = 1u << 20;
    constexpr size_t kDownBytes = 8u << 20;
    StreamingBackend script;
    script.down_len = kDownBytes;
    TestBackend backend([&](int fd) { script.serve(fd); });
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    tlsclient::Options opt;
    opt.max_version = MBEDTLS_SSL_VERSION_TLS1_2;
    opt.renegotiation = true;
    Client c(opt);
    ASSERT_TRUE(c.connect(port_)) << c.handshake_result();
    ASSERT_TRUE(c.send(nettest::upgrade("/")));
    ASSERT_EQ(c.read_head(), nettest::kSwitching);
    Transfer t(kUpSeed, kUpBytes, kDownSeed, 1u << 20);
    ASSERT_TRUE(c.pump(t));
    ASSERT_TRUE(c.start_renegotiation());
    t.in_len = kDownBytes;
    EXPECT_TRUE(c.pump(t, 4 * kWaitMs));
    EXPECT_TRUE(t.in.ok());
    EXPECT_EQ(t.in.count(), kDownBytes);
    EXPECT_TRUE(loopback::wait_until([&] { return script.got_count.load() == kUpBytes; }));
    EXPECT_TRUE(script.got_ok.load());
}

// A client that vanishes while the proxy writes to it ends its connection
// only: the process lives on (SIGPIPE is not ignored here) and serves the
// next client.
TEST_F(TlsProxy, ClientVanishingMidWriteEndsOnlyItsConnection) {
    StreamingBackend streaming;
    TestBackend backend([&](int fd) { streaming.serve(fd); });
    ASSERT_TRUE(start_tls({{"", "/", backend.port()}}));
    {
        Client c;
        ASSERT_TRUE(c.connect(port_)) << c.handshake_result();
        ASSERT_TRUE(c.send(nettest::upgrade("/")));
        ASSERT_EQ(c.read_head(), nettest::kSwitching);
        Transfer down(0, 0, kDownSeed, 256u << 10);
        EXPECT_TRUE(c.pump(down));
        c.reset();
    }
    EXPECT_TRUE(loopback::wait_until([] { return g.active_connections.load() == 0; }));
    Client next;
    ASSERT_TRUE(next.connect(port_)) << next.handshake_result();
    ASSERT_TRUE(next.send(nettest::upgrade("/")));
    ASSERT_EQ(next.read_head(), nettest::kSwitching);
    Transfer down(0, 0, kDownSeed, 64u << 10);
    EXPECT_TRUE(next.pump(down));
    EXPECT_EQ(proxy_status(), 1);
}

}  // namespace
