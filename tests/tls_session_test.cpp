// TLS sessions on their own, without the proxy around them: a loopback
// listener in the test accepts one client, and the test plays the connection
// thread and the relay thread on that session.
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/client_conn.h"
#include "state.h"
#include "support/certs.h"
#include "support/loopback.h"
#include "support/tls_client.h"
#include "tls/tls_session.h"
#include "velkor_proxy.h"
#include "support/sockets.h"

namespace {

using loopback::kWaitMs;
using tlsclient::Client;
using tlsclient::Pattern;
using tlsclient::PatternCheck;
using tlsclient::Transfer;

constexpr uint32_t kClientSeed = 0x1234567;
constexpr uint32_t kServerSeed = 0x7654321;

// The server side of one connection: accepts one client on 127.0.0.1, opens
// its TLS session, runs the body when the handshake succeeded, then closes
// the session and the socket, as a connection thread does.
class OneConnectionServer {
public:
    using Body = std::function<void(ClientConn&)>;

    explicit OneConnectionServer(Body body) : body_(std::move(body)) {
        listener_ = loopback::Fd(sockets::tcp_socket());
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listener_.get(), 1) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~OneConnectionServer() {
        sockets::wake_listener(listener_.get(), port_);  // ends an accept that never got a client
        int s = sock_.load();
        if (!finished_.load() && s >= 0) plat::socket_shutdown(static_cast<plat::Socket>(s));
        if (thread_.joinable()) thread_.join();
    }

    int port() const { return port_; }
    bool wait_finished(int timeout_ms = kWaitMs) const {
        return loopback::wait_until([this] { return finished_.load(); }, timeout_ms);
    }
    // What tls_session_open returned; 1 until it returned.
    int open_result() const { return open_rc_.load(); }
    // Shuts the accepted socket down, as stop does to a stuck connection.
    void shutdown_client_socket() {
        loopback::wait_until([this] { return sock_.load() >= 0; });
        plat::socket_shutdown(static_cast<plat::Socket>(sock_.load()));
    }

private:
    void run() {
        // The library's accept: its sockets are set up its own way on each system.
        plat::Socket s = plat::socket_accept(static_cast<plat::Socket>(listener_.get()), nullptr, 0);
        if (s != plat::kNoSocket) {
            plat::socket_set_nodelay(s);
            sock_ = static_cast<int>(s);
            ClientConn conn;
            conn.tls = 1;
            conn.sock = s;
            int rc = tls_session_open(conn);
            open_rc_ = rc;
            if (rc == 0) body_(conn);
            tls_session_close(conn, true);
            plat::socket_close(s);
        }
        finished_ = true;
    }

    Body body_;
    loopback::Fd listener_;
    int port_ = 0;
    std::atomic<int> sock_{-1};
    std::atomic<int> open_rc_{1};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Writes len bytes of the pattern in pieces of varying size, as a relay
// thread does with what its backend sends.
bool write_pattern(TlsSession& s, uint32_t seed, size_t len) {
    Pattern p(seed);
    std::vector<char> buf(40000);
    size_t piece = 1000;
    for (size_t done = 0; done < len;) {
        size_t n = std::min({piece, len - done, buf.size()});
        p.fill(buf.data(), n);
        if (!tls_session_write_all(s, buf.data(), n)) return false;
        done += n;
        piece = piece * 7 % 39989 + 1;
    }
    return true;
}

// What the server's reader has received, for the test thread to watch.
struct Received {
    explicit Received(uint32_t seed) : check(seed) {}
    PatternCheck check;  // the reader's alone until it has finished
    std::atomic<size_t> count{0};
    std::atomic<bool> ok{true};
};

// Reads until the client closes; checks the pattern.
void read_pattern(TlsSession& s, Received& got) {
    char buf[16384];
    for (;;) {
        long n = tls_session_read(s, buf, sizeof buf);
        if (n <= 0) return;
        got.ok = got.check.feed(buf, static_cast<size_t>(n));
        got.count = got.check.count();
    }
}

// Bytes waiting unread in a socket's receive queue.
int unread_bytes(int fd) { return sockets::unread_bytes(fd); }

// True while the writer's own record waits in the library for the socket.
bool writer_record_queued(TlsSession& s) {
    std::lock_guard<std::mutex> hold(s.lock);
    return s.write_pending;
}

struct CredentialCase {
    const char* name;
    std::string testcerts::CertFiles::*cert;
    std::string testcerts::CertFiles::*key;
    mbedtls_ssl_protocol_version version;
};

void PrintTo(const CredentialCase& c, std::ostream* os) { *os << c.name; }

class TlsSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_stop();
        const auto& f = testcerts::cert_files();
        ASSERT_EQ(tls_credentials_load(f.ec_cert.c_str(), f.ec_key.c_str()), 0) << g_err;
    }
    void TearDown() override { tls_credentials_free(); }
};

class TlsSessionBulk : public ::testing::TestWithParam<CredentialCase> {
protected:
    void SetUp() override {
        proxy_stop();
        const auto& f = testcerts::cert_files();
        const CredentialCase& c = GetParam();
        ASSERT_EQ(tls_credentials_load((f.*c.cert).c_str(), (f.*c.key).c_str()), 0) << g_err;
    }
    void TearDown() override { tls_credentials_free(); }
};

// Both directions at once, the reader and the writer on two threads as in a
// relay; every byte arrives once and in order, and the close-notify follows.
TEST_P(TlsSessionBulk, FullDuplexKeepsEveryByteAndEndsWithCloseNotify) {
    constexpr size_t kBytes = 4u << 20;
    Received server_got(kClientSeed);
    std::atomic<bool> write_ok{false};
    OneConnectionServer server([&](ClientConn& conn) {
        std::thread writer([&] { write_ok = write_pattern(conn.session, kServerSeed, kBytes); });
        read_pattern(conn.session, server_got);
        writer.join();
    });
    tlsclient::Options opt;
    opt.min_version = opt.max_version = GetParam().version;
    Client client(opt);
    ASSERT_TRUE(client.connect(server.port())) << client.handshake_result();
    Transfer t(kClientSeed, kBytes, kServerSeed, kBytes);
    ASSERT_TRUE(client.pump(t, 4 * kWaitMs));
    // The server reads until the client's side ends.
    sockets::shutdown_write(client.fd());
    Transfer rest(0, 0, 0, Transfer::kUntilEnd);
    EXPECT_TRUE(client.pump(rest));
    EXPECT_EQ(rest.end, MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY);
    EXPECT_EQ(rest.in.count(), 0u);
    ASSERT_TRUE(server.wait_finished());
    EXPECT_TRUE(write_ok.load());
    EXPECT_TRUE(server_got.ok.load());
    EXPECT_EQ(server_got.count.load(), kBytes);
    EXPECT_TRUE(t.in.ok());
}

INSTANTIATE_TEST_SUITE_P(
    TlsKeys, TlsSessionBulk,
    ::testing::Values(
        CredentialCase{"EcTls12", &testcerts::CertFiles::ec_cert, &testcerts::CertFiles::ec_key,
                       MBEDTLS_SSL_VERSION_TLS1_2},
        CredentialCase{"EcTls13", &testcerts::CertFiles::ec_cert, &testcerts::CertFiles::ec_key,
                       MBEDTLS_SSL_VERSION_TLS1_3},
        CredentialCase{"RsaTls12", &testcerts::CertFiles::rsa_cert,
                       &testcerts::CertFiles::rsa_key, MBEDTLS_SSL_VERSION_TLS1_2},
        CredentialCase{"RsaTls13", &testcerts::CertFiles::rsa_cert,
                       &testcerts::CertFiles::rsa_key, MBEDTLS_SSL_VERSION_TLS1_3}),
    [](const auto& info) { return std::string(info.param.name); });

// A client that stops reading blocks the writer, not the reader; when it then
// vanishes, both ends fail cleanly (the test process does not ignore SIGPIPE).
TEST_F(TlsSessionTest, ClientThatStopsReadingStallsOnlyItsOwnDirection) {
    constexpr size_t kUpBytes = 1u << 20;
    Received server_got(kClientSeed);
    std::atomic<bool> write_ok{true};
    std::atomic<bool> writer_ended{false};
    std::atomic<TlsSession*> session{nullptr};
    OneConnectionServer server([&](ClientConn& conn) {
        session = &conn.session;
        std::thread writer([&] {
            write_ok = write_pattern(conn.session, kServerSeed, 256u << 20);
            writer_ended = true;
        });
        read_pattern(conn.session, server_got);
        writer.join();
    });
    Client client;
    ASSERT_TRUE(client.connect(server.port())) << client.handshake_result();
    EXPECT_TRUE(loopback::wait_until([&] {
        TlsSession* s = session.load();
        return s && writer_record_queued(*s);
    }));
    Transfer up(kClientSeed, kUpBytes, 0, 0);
    ASSERT_TRUE(client.pump(up));
    EXPECT_TRUE(loopback::wait_until([&] { return server_got.count.load() == kUpBytes; }));
    EXPECT_TRUE(server_got.ok.load());
    EXPECT_FALSE(writer_ended.load());
    client.reset();
    ASSERT_TRUE(server.wait_finished());
    EXPECT_FALSE(write_ok.load());
}

// A reader waiting for the rest of a record holds no lock: the writer goes on.
TEST_F(TlsSessionTest, ReaderWaitingInsideARecordDoesNotBlockTheWriter) {
    constexpr size_t kDownBytes = 256u << 10;
    std::atomic<bool> write_ok{false};
    std::atomic<long> read_result{1};
    OneConnectionServer server([&](ClientConn& conn) {
        EXPECT_TRUE(loopback::wait_until([&] { return unread_bytes(conn.sock) == 5; }));
        std::thread reader([&] {
            char buf[64];
            read_result = tls_session_read(conn.session, buf, sizeof buf);
        });
        // The reader has taken the header and now waits for the record's body.
        EXPECT_TRUE(loopback::wait_until([&] { return unread_bytes(conn.sock) == 0; }));
        write_ok = write_pattern(conn.session, kServerSeed, kDownBytes);
        reader.join();
    });
    Client client;
    ASSERT_TRUE(client.connect(server.port())) << client.handshake_result();
    // The header of an application-data record of 16 KiB, and nothing more.
    const unsigned char header[5] = {0x17, 0x03, 0x03, 0x40, 0x00};
    ASSERT_TRUE(loopback::send_all(client.fd(), {reinterpret_cast<const char*>(header), 5}));
    Transfer down(0, 0, kServerSeed, kDownBytes);
    EXPECT_TRUE(client.pump(down));
    EXPECT_EQ(down.in.count(), kDownBytes);
    client.reset();
    ASSERT_TRUE(server.wait_finished());
    EXPECT_TRUE(write_ok.load());
    EXPECT_EQ(read_result.load(), 0);
}

// A TLS 1.2 client that has stopped reading asks to renegotiate while the
// writer's record waits for the full socket. The read that refuses the
// request answers with an alert, which must neither take the place of the
// writer's data nor make it go out twice.
TEST_F(TlsSessionTest, RenegotiationRequestOverAPendingWriteLosesAndRepeatsNoByte) {
    constexpr size_t kUpBytes = 256u << 10;
    constexpr size_t kDownBytes = 8u << 20;
    Received server_got(kClientSeed);
    std::atomic<bool> write_ok{false};
    std::atomic<TlsSession*> session{nullptr};
    OneConnectionServer server([&](ClientConn& conn) {
        session = &conn.session;
        std::thread writer([&] { write_ok = write_pattern(conn.session, kServerSeed, kDownBytes); });
        read_pattern(conn.session, server_got);
        writer.join();
    });
    tlsclient::Options opt;
    opt.max_version = MBEDTLS_SSL_VERSION_TLS1_2;
    opt.renegotiation = true;
    Client client(opt);
    ASSERT_TRUE(client.connect(server.port())) << client.handshake_result();
    Transfer t(kClientSeed, kUpBytes, kServerSeed, 0);
    ASSERT_TRUE(client.pump(t));
    EXPECT_TRUE(loopback::wait_until([&] {
        TlsSession* s = session.load();
        return s && writer_record_queued(*s);
    }));
    ASSERT_TRUE(client.start_renegotiation());
    t.in_len = kDownBytes;
    EXPECT_TRUE(client.pump(t, 4 * kWaitMs));
    EXPECT_EQ(t.in.count(), kDownBytes);
    EXPECT_TRUE(t.in.ok());
    EXPECT_TRUE(loopback::wait_until([&] { return server_got.count.load() == kUpBytes; }));
    client.reset();
    ASSERT_TRUE(server.wait_finished());
    EXPECT_TRUE(write_ok.load());
    EXPECT_TRUE(server_got.ok.load());
    EXPECT_EQ(server_got.count.load(), kUpBytes);
}

// A handshake has no time limit of its own; shutting the socket down (as stop
// does) ends it, whether the client sent nothing or half a record.
TEST_F(TlsSessionTest, StuckHandshakeEndsWhenTheSocketIsShutDown) {
    const std::string partial_hello("\x16\x03\x01\x02\x00", 5);
    for (const std::string& sent : {std::string(), partial_hello}) {
        SCOPED_TRACE(sent.empty() ? "silent client" : "partial record");
        OneConnectionServer server([](ClientConn&) { ADD_FAILURE() << "handshake succeeded"; });
        loopback::Fd raw = loopback::connect_to(server.port());
        ASSERT_TRUE(raw.valid());
        ASSERT_TRUE(loopback::send_all(raw.get(), sent));
        EXPECT_FALSE(server.wait_finished(100));
        server.shutdown_client_socket();
        ASSERT_TRUE(server.wait_finished());
        EXPECT_LT(server.open_result(), 0);
    }
}

}  // namespace
