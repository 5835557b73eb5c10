// A host may unload the library right after proxy_stop: stop returns only
// once every thread of the run has left the library's code. Each round loads
// the library afresh, serves plain HTTP, or HTTPS and a redirect, stops and
// unloads it; a thread still running its code would crash the process.
#include <string>

#include <gtest/gtest.h>

#include "support/certs.h"
#include "support/library.h"
#include "support/loopback.h"
#include "support/resources.h"
#include "support/tls_client.h"

namespace {

using loopback::TestBackend;

struct Library {
    library::Handle handle = nullptr;
    int (*start)(const char*) = nullptr;
    int (*stop)() = nullptr;
    const char* (*last_error)() = nullptr;

    bool load() {
        handle = library::load(VELKOR_LIBRARY_PATH);
        if (!handle) return false;
        start = reinterpret_cast<int (*)(const char*)>(library::symbol(handle, "proxy_start"));
        stop = reinterpret_cast<int (*)()>(library::symbol(handle, "proxy_stop"));
        last_error = reinterpret_cast<const char* (*)()>(library::symbol(handle, "proxy_last_error"));
        return start && stop && last_error;
    }
};

std::string document(int port, int redirect_port, int backend_port, bool tls) {
    std::string doc = "{\"listen_port\":" + std::to_string(port);
    if (tls) {
        const testcerts::CertFiles& f = testcerts::cert_files();
        doc += ",\"tls_cert\":\"" + f.ec_cert + "\",\"tls_key\":\"" + f.ec_key +
               "\",\"http_redirect_port\":" + std::to_string(redirect_port);
    }
    return doc + ",\"routes\":[{\"target_port\":" + std::to_string(backend_port) + "}]}";
}

TEST(Unload, RoundsOfLoadStartTrafficStopUnload) {
    if (resources::kSanitized) GTEST_SKIP() << "a sanitized library is not unloaded cleanly";
    ASSERT_FALSE(testcerts::cert_files().ec_cert.empty());
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    TestBackend backend(TestBackend::Script{answer, true});
    const int threads = loopback::thread_count();
    const long rss_before = resources::rss_kib();
    int unmapped = 0;
    const int rounds = resources::scaled(200, 50);
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        bool tls = round % 2;
        Library lib;
        ASSERT_TRUE(lib.load()) << library::last_error();
        int port = 0, redirect_port = 0;
        int rc = -1;
        for (int attempt = 0; attempt < 5 && rc != 0; ++attempt) {
            port = loopback::free_port();
            redirect_port = loopback::free_port();
            rc = lib.start(document(port, redirect_port, backend.port(), tls).c_str());
        }
        ASSERT_EQ(rc, 0) << lib.last_error();
        if (tls) {
            tlsclient::Client c;
            ASSERT_TRUE(c.connect(port)) << c.handshake_result();
            ASSERT_TRUE(c.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n"));
            int end = 1;
            EXPECT_EQ(c.read_to_end(&end), answer);
            loopback::Fd r = loopback::connect_to(redirect_port);
            ASSERT_TRUE(loopback::send_all(r.get(), "GET /r HTTP/1.1\r\nHost: h\r\n\r\n"));
            EXPECT_EQ(loopback::recv_until(r.get(), "\r\n\r\n").rfind("HTTP/1.1 301 ", 0), 0u);
        } else {
            loopback::Fd c = loopback::connect_to(port);
            ASSERT_TRUE(loopback::send_all(c.get(), "GET / HTTP/1.1\r\nHost: h\r\n\r\n"));
            EXPECT_EQ(loopback::recv_all_until_close(c.get()), answer);
        }
        EXPECT_EQ(lib.stop(), 0);
        EXPECT_TRUE(loopback::wait_threads_at_most(threads)) << "a thread outlived the stop";
        ASSERT_TRUE(library::unload(lib.handle));
        if (!library::mapped(VELKOR_LIBRARY_PATH)) ++unmapped;
    }
    resources::report_figure("unload.rounds_unmapped",
                             std::to_string(unmapped) + " of " + std::to_string(rounds));
    resources::report_figure("unload.rss_growth_kib", std::to_string(resources::rss_kib() - rss_before));
    EXPECT_EQ(unmapped, rounds) << "the library stayed mapped: the rounds did not reload its code";
}

}  // namespace
