// Clients that break the TLS handshake: garbage instead of a ClientHello, a
// ClientHello cut short, and peers that vanish part-way. Each ends only its
// own connection: a relaying bystander goes on, the counters stay exact, the
// next client is served, and nothing is left behind (the fixture checks).
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <psa/crypto.h>

#include "support/any_client.h"
#include "support/guarded_service.h"
#include "support/sockets.h"

namespace {

using loopback::kWaitMs;
using loopback::TestBackend;
using loopback::wait_until;
using nettest::get;

// The first flight of a real client, its ClientHello, taken from an mbedTLS
// client session whose transport writes into memory.
std::string client_hello() {
    psa_crypto_init();
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    mbedtls_ssl_context ssl;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_init(&ssl);
    std::string out;
    static const unsigned char kPers[] = "vk-hello";
    if (mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, kPers, sizeof kPers) == 0 &&
        mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) == 0) {
        mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &drbg);
        mbedtls_ssl_conf_authmode(&conf, MBEDTLS_SSL_VERIFY_NONE);
        if (mbedtls_ssl_setup(&ssl, &conf) == 0 && mbedtls_ssl_set_hostname(&ssl, "localhost") == 0) {
            auto to_memory = [](void* ctx, const unsigned char* buf, size_t len) {
                static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(buf), len);
                return static_cast<int>(len);
            };
            auto nothing_yet = [](void*, unsigned char*, size_t) { return MBEDTLS_ERR_SSL_WANT_READ; };
            mbedtls_ssl_set_bio(&ssl, &out, to_memory, nothing_yet, nullptr);
            mbedtls_ssl_handshake(&ssl);  // sends the ClientHello, then waits for an answer
        }
    }
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    return out;
}

struct HandshakeFault {
    const char* name;
    // Plays the client on a connected socket. Returns true when the client
    // is still there to see the proxy close the connection.
    std::function<bool(loopback::Fd& fd, const std::string& hello)> act;
};

bool garbage(loopback::Fd& fd, const std::string&) {
    std::string junk(4096, '\0');
    tlsclient::Pattern(99).fill(junk.data(), junk.size());
    junk[0] = 'G';  // not a TLS content type
    return loopback::send_all(fd.get(), junk);
}

bool oversized_record(loopback::Fd& fd, const std::string&) {
    return loopback::send_all(fd.get(), std::string("\x16\x03\x01\xff\xff", 5) + std::string(64, 'x'));
}

bool hello_cut_then_end(loopback::Fd& fd, const std::string& hello) {
    bool sent = loopback::send_all(fd.get(), hello.substr(0, hello.size() / 2));
    loopback::shutdown_write(fd.get());
    return sent;
}

bool hello_cut_then_reset(loopback::Fd& fd, const std::string& hello) {
    loopback::send_all(fd.get(), hello.substr(0, hello.size() / 2));
    loopback::reset_close(fd);
    return false;
}

bool record_header_only_then_end(loopback::Fd& fd, const std::string& hello) {
    bool sent = loopback::send_all(fd.get(), hello.substr(0, 5));
    loopback::shutdown_write(fd.get());
    return sent;
}

// The whole ClientHello, then the first bytes of the server's answer, then
// the client is gone: the server waits for the client's next flight.
bool vanish_after_server_hello(loopback::Fd& fd, const std::string& hello) {
    loopback::send_all(fd.get(), hello);
    loopback::recv_until(fd.get(), [](const std::string& got) { return got.size() >= 5; });
    loopback::reset_close(fd);
    return false;
}

bool end_after_server_hello(loopback::Fd& fd, const std::string& hello) {
    bool sent = loopback::send_all(fd.get(), hello);
    loopback::recv_until(fd.get(), [](const std::string& got) { return got.size() >= 5; });
    loopback::shutdown_write(fd.get());
    return sent;
}

class FaultTlsHandshake : public hardening::GuardedService {};

TEST_F(FaultTlsHandshake, BrokenHandshakesEndOnlyTheirConnection) {
    const HandshakeFault faults[] = {
        {"garbage", garbage},
        {"oversized record", oversized_record},
        {"record header only, then end", record_header_only_then_end},
        {"ClientHello cut short, then end", hello_cut_then_end},
        {"ClientHello cut short, then reset", hello_cut_then_reset},
        {"reset after the server's first bytes", vanish_after_server_hello},
        {"end after the server's first bytes", end_after_server_hello},
    };
    const std::string hello = client_hello();
    ASSERT_GT(hello.size(), 100u);
    ASSERT_EQ(hello[0], '\x16');  // a handshake record

    TestBackend::Script echo;
    echo.reply = nettest::kSwitching;
    echo.echo = true;
    TestBackend echoer(echo);
    ASSERT_TRUE(start_tls({{"", "/", echoer.port()}}));
    anyclient::Client bystander(true, port_);
    ASSERT_TRUE(bystander.connected());
    ASSERT_TRUE(bystander.send(nettest::upgrade("/") + "before"));
    EXPECT_EQ(bystander.recv_until("before"), nettest::kSwitching + "before");

    int connections = 1;
    for (const HandshakeFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        loopback::Fd c = client();
        ASSERT_TRUE(c.valid());
        ++connections;
        // Acts once accepted: Windows drops a connection that is reset while
        // it waits in the backlog, and it would never be counted.
        ASSERT_TRUE(wait_until([&] { return g.total_connections.load() == connections; }));
        bool still_there = fault.act(c, hello);
        if (still_there) {
            bool closed = false;
            std::string got = loopback::recv_all_until_close(c.get(), kWaitMs, &closed);
            EXPECT_TRUE(closed);
            EXPECT_EQ(got.find("HTTP/"), std::string::npos) << got;
        }
        EXPECT_TRUE(wait_until([&] {
            return g.total_connections.load() == connections && g.active_connections.load() == 1;
        })) << "total " << g.total_connections.load() << ", active " << g.active_connections.load();
    }

    ASSERT_TRUE(bystander.send("after"));
    EXPECT_EQ(bystander.recv_until("after"), "after");
    anyclient::Client next(true, port_);
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(next.send(nettest::upgrade("/") + "next"));
    EXPECT_EQ(next.recv_until("next"), nettest::kSwitching + "next");
    EXPECT_EQ(g.total_connections.load(), connections + 1);
    EXPECT_EQ(hits(0), 2);
    EXPECT_EQ(errors(0), 0);
    EXPECT_EQ(echoer.accepted(), 2);
}

}  // namespace
