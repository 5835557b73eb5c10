// Every kind of refused start, one after another in one process: each gets
// its one message, leaves the service stopped with nothing held, and the good
// start right after it serves a request on the same port. (The messages in
// all their variants are in config_test.cpp and tls_credentials_test.cpp.)
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/guarded_service.h"
#include "support/ports.h"

namespace {

using loopback::TestBackend;

const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct Ports {
    int main;
    int redirect;
};

struct BadStart {
    const char* name;
    std::function<std::string(const Ports&)> doc;
    std::function<std::string(const Ports&)> message;
    bool hold_main = false;      // another listener holds the main port
    bool hold_redirect = false;  // ... or the redirect port
};

std::string with_route(int port, const std::string& members) {
    return "{\"listen_port\":" + std::to_string(port) + members +
           ",\"routes\":[{\"target_port\":9}]}";
}

std::string tls_with(const std::string& cert, const std::string& key) {
    return ",\"tls_cert\":\"" + cert + "\",\"tls_key\":\"" + key + "\"";
}

auto fixed(const char* text) {
    return [text](const Ports&) { return std::string(text); };
}

std::vector<BadStart> bad_starts() {
    const testcerts::CertFiles& f = testcerts::cert_files();
    const std::string missing = f.dir + "/missing.pem";
    return {
        {"NotAnObject", fixed("[1]"), fixed("config not a JSON object")},
        {"BrokenJson", fixed("{\"listen_port\":1"), fixed("config not a JSON object")},
        {"NoListenPort", fixed("{\"routes\":[{\"target_port\":9}]}"), fixed("listen_port required")},
        {"CertWithoutKey",
         [](const Ports& p) { return with_route(p.main, ",\"tls_cert\":\"c.pem\""); },
         fixed("tls_key required when tls_cert is set")},
        {"NoRoutes", [](const Ports& p) { return "{\"listen_port\":" + std::to_string(p.main) + "}"; },
         fixed("routes array required")},
        {"EmptyRoutes",
         [](const Ports& p) { return "{\"listen_port\":" + std::to_string(p.main) + ",\"routes\":[]}"; },
         fixed("at least one route required")},
        {"RouteWithoutPort",
         [](const Ports& p) {
             return "{\"listen_port\":" + std::to_string(p.main) +
                    ",\"routes\":[{\"target_port\":9},{\"host\":\"a\"}]}";
         },
         fixed("route 1: target_port required")},
        {"MissingCertificate",
         [=](const Ports& p) { return with_route(p.main, tls_with(missing, f.ec_key)); },
         [=](const Ports&) { return "cannot load certificate: " + missing + " (-0x3e00)"; }},
        {"EncryptedKey",
         [=](const Ports& p) { return with_route(p.main, tls_with(f.ec_cert, f.encrypted_key_pem)); },
         [=](const Ports&) {
             return "cannot load private key: " + f.encrypted_key_pem + " (-0x3c00)";
         }},
        {"MainPortInUse", [](const Ports& p) { return with_route(p.main, ""); },
         [](const Ports& p) { return "bind port " + std::to_string(p.main) + " failed (in use?)"; },
         true, false},
        {"RedirectPortInUse",
         [=](const Ports& p) {
             return with_route(p.main, tls_with(f.ec_cert, f.ec_key) + ",\"http_redirect_port\":" +
                                           std::to_string(p.redirect));
         },
         [](const Ports& p) {
             return "bind port " + std::to_string(p.redirect) + " failed (in use?)";
         },
         false, true},
    };
}

class FaultConfig : public hardening::GuardedService {};

TEST_F(FaultConfig, EveryRefusedStartLeavesTheServiceStartable) {
    ASSERT_FALSE(testcerts::cert_files().ec_cert.empty());
    TestBackend::Script script;
    script.reply = kAnswer;
    TestBackend backend(script);
    const std::string good_routes =
        ",\"routes\":[{\"target_port\":" + std::to_string(backend.port()) + "}]}";
    int served = 0;

    EXPECT_EQ(proxy_start(nullptr), -1);
    EXPECT_STREQ(proxy_last_error(), "config_json is NULL");
    for (const BadStart& c : bad_starts()) {
        SCOPED_TRACE(c.name);
        const resources::Usage before = resources::usage();
        Ports ports{loopback::free_port(), loopback::free_port()};
        {
            std::optional<ports::HeldPort> holder;
            if (c.hold_main) holder.emplace(ports.main);
            if (c.hold_redirect) holder.emplace(ports.redirect);
            if (holder) {
                ASSERT_TRUE(holder->held());
            }
            EXPECT_EQ(proxy_start(c.doc(ports).c_str()), -1);
            EXPECT_EQ(proxy_last_error(), c.message(ports));
            EXPECT_EQ(proxy_status(), 0);
            EXPECT_EQ(g.tls_ready, 0);
        }
        EXPECT_TRUE(resources::wait_back_to(before, loopback::kWaitMs))
            << "before: " << resources::describe(before)
            << "; after: " << resources::describe(resources::usage());

        const std::string good = "{\"listen_port\":" + std::to_string(ports.main) + good_routes;
        ASSERT_EQ(proxy_start(good.c_str()), 0) << proxy_last_error();
        EXPECT_STREQ(proxy_last_error(), "");
        loopback::Fd client = loopback::connect_to(ports.main);
        ASSERT_TRUE(loopback::send_all(client.get(), nettest::get("/")));
        EXPECT_EQ(loopback::recv_until(client.get(), "ok"), kAnswer);
        ++served;
        client.reset();
        EXPECT_EQ(proxy_stop(), 0);
        EXPECT_EQ(g.active_connections.load(), 0);
    }
    EXPECT_EQ(backend.accepted(), served);
}

}  // namespace
