// Loading and releasing the TLS credentials: every failure a start reports,
// what a failed start leaves behind (nothing), and what a good load holds.
#include <string>

#include <gtest/gtest.h>

#include "state.h"
#include "support/certs.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "tls/tls_session.h"
#include "velkor_proxy.h"

namespace {

std::string tls_config(int port, const std::string& cert, const std::string& key) {
    return "{\"listen_port\":" + std::to_string(port) + ",\"tls_cert\":\"" + cert +
           "\",\"tls_key\":\"" + key + "\",\"routes\":[{\"target_port\":9}]}";
}

// The subject of the n-th certificate of the loaded chain, "" past its end.
std::string chain_subject(int n) {
    const mbedtls_x509_crt* c = &g.srv_cert;
    for (int i = 0; i < n && c; ++i) c = c->next;
    if (!c || c->raw.len == 0) return "";
    char text[256];
    return mbedtls_x509_dn_gets(text, sizeof text, &c->subject) < 0 ? "?" : text;
}

class TlsCredentials : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_stop();
        ASSERT_FALSE(files().ec_cert.empty());
        threads_ = loopback::thread_count();
        descriptors_ = ports::open_descriptor_count();
    }
    void TearDown() override {
        proxy_stop();
        tls_credentials_free();
        EXPECT_EQ(g.tls_ready, 0);
    }
    static const testcerts::CertFiles& files() { return testcerts::cert_files(); }

    int threads_ = 0;
    int descriptors_ = 0;
};

struct LoadFailure {
    const char* name;
    std::string cert;
    std::string key;
    std::string message;
};

// Built once the certificate folder exists.
std::vector<LoadFailure> load_failures() {
    const testcerts::CertFiles& f = testcerts::cert_files();
    const std::string missing_cert = f.dir + "/no-such-cert.pem";
    const std::string missing_key = f.dir + "/no-such-key.pem";
    const std::string partly_readable = testcerts::write_file(
        "partly-readable.pem", testcerts::read_file(f.ec_cert) +
                                   "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
    const std::string empty = testcerts::write_file("empty.pem", "");
    auto cert_error = [](const std::string& path, const char* code) {
        return "cannot load certificate: " + path + " (-0x" + code + ")";
    };
    auto key_error = [](const std::string& path, const char* code) {
        return "cannot load private key: " + path + " (-0x" + code + ")";
    };
    return {
        {"MissingCertificate", missing_cert, f.ec_key, cert_error(missing_cert, "3e00")},
        {"BothMissingReportsTheCertificate", missing_cert, missing_key,
         cert_error(missing_cert, "3e00")},
        {"MissingKey", f.ec_cert, missing_key, key_error(missing_key, "3e00")},
        {"EncryptedTraditionalKey", f.ec_cert, f.encrypted_key_pem,
         key_error(f.encrypted_key_pem, "3c00")},
        {"EncryptedPkcs8Key", f.ec_cert, f.encrypted_key_pkcs8,
         key_error(f.encrypted_key_pkcs8, "3c00")},
        {"PartlyReadableCertificateFile", partly_readable, f.ec_key,
         cert_error(partly_readable, "2180")},
        {"EmptyCertificateFile", empty, f.ec_key, cert_error(empty, "2180")},
        {"CertificateGivenAsKey", f.ec_cert, f.ec_cert, key_error(f.ec_cert, "3d00")},
    };
}

// Each failure stops the start before any socket is opened, with one exact
// message, and leaves no credentials, thread or descriptor behind.
TEST_F(TlsCredentials, EveryLoadFailureReportsItsFileAndCode) {
    for (const LoadFailure& c : load_failures()) {
        SCOPED_TRACE(c.name);
        int port = loopback::free_port();
        EXPECT_EQ(proxy_start(tls_config(port, c.cert, c.key).c_str()), -1);
        EXPECT_EQ(std::string(proxy_last_error()), c.message);
        EXPECT_EQ(proxy_status(), 0);
        EXPECT_EQ(g.tls_ready, 0);
        EXPECT_TRUE(ports::HeldPort(port).held()) << "the port is still bound";
        EXPECT_EQ(ports::open_descriptor_count(), descriptors_);
        EXPECT_EQ(loopback::thread_count(), threads_);
    }
}

// The chain is kept in file order, the server's own certificate first; a
// release clears it, and a second release or one without a load is harmless.
TEST_F(TlsCredentials, GoodFilesLoadTheChainInFileOrder) {
    struct Case {
        const char* name;
        std::string cert, key;
        std::vector<std::string> subjects;
    };
    const testcerts::CertFiles& f = files();
    const Case cases[] = {
        {"Ec", f.ec_cert, f.ec_key, {"CN=localhost"}},
        {"Rsa", f.rsa_cert, f.rsa_key, {"CN=localhost"}},
        {"LeafThenIntermediate", f.chain_cert, f.chain_key,
         {"CN=localhost", "CN=VK Test Intermediate"}},
    };
    tls_credentials_free();
    EXPECT_EQ(g.tls_ready, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(tls_credentials_load(c.cert.c_str(), c.key.c_str()), 0) << g_err;
        EXPECT_EQ(g.tls_ready, 1);
        for (size_t i = 0; i < c.subjects.size(); ++i) {
            EXPECT_EQ(chain_subject(static_cast<int>(i)), c.subjects[i]);
        }
        EXPECT_EQ(chain_subject(static_cast<int>(c.subjects.size())), "");
        tls_credentials_free();
        EXPECT_EQ(g.tls_ready, 0);
        tls_credentials_free();
        EXPECT_EQ(g.tls_ready, 0);
    }
}

// Every start reads both files afresh: a file spoilt between two runs makes
// the next start fail, and mending it makes the one after succeed.
TEST_F(TlsCredentials, EachStartReadsTheFilesAgain) {
    const std::string good = testcerts::read_file(files().ec_cert);
    const std::string cert = testcerts::write_file("restart.pem", good);
    int port = loopback::free_port();
    const std::string doc = tls_config(port, cert, files().ec_key);
    ASSERT_EQ(proxy_start(doc.c_str()), 0) << proxy_last_error();
    EXPECT_EQ(g.tls_ready, 1);
    EXPECT_EQ(proxy_stop(), 0);
    EXPECT_EQ(g.tls_ready, 0);

    testcerts::write_file("restart.pem", "");
    EXPECT_EQ(proxy_start(doc.c_str()), -1);
    EXPECT_EQ(std::string(proxy_last_error()), "cannot load certificate: " + cert + " (-0x2180)");

    testcerts::write_file("restart.pem", good);
    EXPECT_EQ(proxy_start(doc.c_str()), 0) << proxy_last_error();
    EXPECT_EQ(proxy_status(), 1);
}

}  // namespace
