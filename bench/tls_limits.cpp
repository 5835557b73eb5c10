// mbedTLS's own limits on this machine, as the proxy uses it: the server's
// CPU time per full handshake for a given certificate and protocol version,
// and the server's record encryption and decryption speed with 16 KiB
// records. A client and a server session talk through memory in one thread;
// only the server's calls are timed, on the thread's CPU clock, so the
// figures are per core and free of socket costs.
//
//   tls_limits CERT KEY [--seconds S]
// prints lines "LIMIT <what> <value> <unit>" for bench/run.sh: handshakes
// with the library's default client offer, records for each AEAD suite.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <psa/crypto.h>

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One direction of the in-memory transport.
struct Pipe {
    std::vector<unsigned char> bytes;
    size_t head = 0;
};

struct Side {
    Pipe* in;
    Pipe* out;
};

int mem_send(void* ctx, const unsigned char* buf, size_t len) {
    auto* side = static_cast<Side*>(ctx);
    side->out->bytes.insert(side->out->bytes.end(), buf, buf + len);
    return static_cast<int>(len);
}

int mem_recv(void* ctx, unsigned char* buf, size_t len) {
    Pipe& p = *static_cast<Side*>(ctx)->in;
    size_t avail = p.bytes.size() - p.head;
    if (avail == 0) return MBEDTLS_ERR_SSL_WANT_READ;
    size_t n = len < avail ? len : avail;
    memcpy(buf, p.bytes.data() + p.head, n);
    p.head += n;
    if (p.head == p.bytes.size()) {
        p.bytes.clear();
        p.head = 0;
    }
    return static_cast<int>(n);
}

struct Shared {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_ssl_config server;
    mbedtls_ssl_config client;
};

void fail(const char* what, int rc) {
    fprintf(stderr, "tls_limits: %s failed (-0x%04x)\n", what, static_cast<unsigned>(-rc));
    exit(1);
}

void setup(Shared& s, const char* cert, const char* key, mbedtls_ssl_protocol_version version) {
    mbedtls_entropy_init(&s.entropy);
    mbedtls_ctr_drbg_init(&s.drbg);
    mbedtls_x509_crt_init(&s.cert);
    mbedtls_pk_init(&s.key);
    mbedtls_ssl_config_init(&s.server);
    mbedtls_ssl_config_init(&s.client);
    int rc = mbedtls_ctr_drbg_seed(&s.drbg, mbedtls_entropy_func, &s.entropy, nullptr, 0);
    if (rc) fail("drbg seed", rc);
    if ((rc = mbedtls_x509_crt_parse_file(&s.cert, cert))) fail("certificate", rc);
    rc = mbedtls_pk_parse_keyfile(&s.key, key, nullptr, mbedtls_ctr_drbg_random, &s.drbg);
    if (rc) fail("key", rc);
    // The server exactly as the proxy configures it.
    rc = mbedtls_ssl_config_defaults(&s.server, MBEDTLS_SSL_IS_SERVER,
                                     MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc) fail("server config", rc);
    mbedtls_ssl_conf_rng(&s.server, mbedtls_ctr_drbg_random, &s.drbg);
    if ((rc = mbedtls_ssl_conf_own_cert(&s.server, &s.cert, &s.key))) fail("own cert", rc);
    // The client picks the protocol version, as the load generator does.
    rc = mbedtls_ssl_config_defaults(&s.client, MBEDTLS_SSL_IS_CLIENT,
                                     MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc) fail("client config", rc);
    mbedtls_ssl_conf_rng(&s.client, mbedtls_ctr_drbg_random, &s.drbg);
    mbedtls_ssl_conf_authmode(&s.client, MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_min_tls_version(&s.client, version);
    mbedtls_ssl_conf_max_tls_version(&s.client, version);
}

struct Pair {
    Pipe c2s, s2c;
    Side client_side{&s2c, &c2s};
    Side server_side{&c2s, &s2c};
    mbedtls_ssl_context client, server;
    double server_cpu = 0;

    explicit Pair(Shared& sh) {
        mbedtls_ssl_init(&client);
        mbedtls_ssl_init(&server);
        if (int rc = mbedtls_ssl_setup(&client, &sh.client)) fail("client setup", rc);
        if (int rc = mbedtls_ssl_setup(&server, &sh.server)) fail("server setup", rc);
        mbedtls_ssl_set_bio(&client, &client_side, mem_send, mem_recv, nullptr);
        mbedtls_ssl_set_bio(&server, &server_side, mem_send, mem_recv, nullptr);
    }
    ~Pair() {
        mbedtls_ssl_free(&client);
        mbedtls_ssl_free(&server);
    }

    void handshake() {
        bool client_done = false, server_done = false;
        while (!client_done || !server_done) {
            if (!client_done) {
                int rc = mbedtls_ssl_handshake(&client);
                if (rc == 0) client_done = true;
                else if (rc != MBEDTLS_ERR_SSL_WANT_READ) fail("client handshake", rc);
            }
            if (!server_done) {
                double t = cpu_seconds();
                int rc = mbedtls_ssl_handshake(&server);
                server_cpu += cpu_seconds() - t;
                if (rc == 0) server_done = true;
                else if (rc != MBEDTLS_ERR_SSL_WANT_READ) fail("server handshake", rc);
            }
        }
    }
};

void measure_handshakes(Shared& sh, const std::string& label, double seconds) {
    double cpu = 0;
    int count = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (count < 3 || std::chrono::steady_clock::now() < until) {
        Pair p(sh);
        p.handshake();
        cpu += p.server_cpu;
        ++count;
    }
    printf("LIMIT handshake_%s %.1f handshakes/s/core (%.3f ms server CPU each, %d runs)\n",
           label.c_str(), count / cpu, 1000.0 * cpu / count, count);
}

// Server encryption (its writes) and decryption (its reads) of full records
// under one cipher suite, which the client offers alone.
void measure_records(Shared& sh, const std::string& label, const char* aead,
                     const std::string& suite, double seconds) {
    const int suites[2] = {mbedtls_ssl_get_ciphersuite_id(suite.c_str()), 0};
    if (suites[0] == 0) fail(suite.c_str(), -1);
    mbedtls_ssl_conf_ciphersuites(&sh.client, suites);
    Pair p(sh);
    p.handshake();
    static unsigned char data[16384], sink[16384];
    double enc_cpu = 0, dec_cpu = 0;
    size_t enc_bytes = 0, dec_bytes = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        double t = cpu_seconds();
        int n = mbedtls_ssl_write(&p.server, data, sizeof data);
        enc_cpu += cpu_seconds() - t;
        if (n <= 0) fail("server write", n);
        enc_bytes += static_cast<size_t>(n);
        for (size_t got = 0; got < static_cast<size_t>(n);) {
            int r = mbedtls_ssl_read(&p.client, sink, sizeof sink);
            if (r <= 0) fail("client read", r);
            got += static_cast<size_t>(r);
        }
        int m = mbedtls_ssl_write(&p.client, data, sizeof data);
        if (m <= 0) fail("client write", m);
        t = cpu_seconds();
        for (size_t got = 0; got < static_cast<size_t>(m);) {
            int r = mbedtls_ssl_read(&p.server, sink, sizeof sink);
            if (r <= 0) fail("server read", r);
            got += static_cast<size_t>(r);
        }
        dec_cpu += cpu_seconds() - t;
        dec_bytes += static_cast<size_t>(m);
    }
    printf("LIMIT encrypt_%s_%s %.1f MB/s/core\n", label.c_str(), aead,
           enc_bytes / enc_cpu / 1e6);
    printf("LIMIT decrypt_%s_%s %.1f MB/s/core\n", label.c_str(), aead,
           dec_bytes / dec_cpu / 1e6);
}

// The suite names of mbedTLS for one AEAD, protocol version and key type.
std::string suite_name(bool tls13, const char* aead, bool rsa) {
    std::string a = aead;
    if (tls13) {
        return "TLS1-3-" + a + (a == "CHACHA20-POLY1305" ? "-SHA256"
                                : a == "AES-256-GCM"     ? "-SHA384"
                                                         : "-SHA256");
    }
    return std::string("TLS-ECDHE-") + (rsa ? "RSA" : "ECDSA") + "-WITH-" + a +
           (a == "AES-256-GCM" ? "-SHA384" : "-SHA256");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: tls_limits CERT KEY [--seconds S]\n");
        return 2;
    }
    double seconds = 1.0;
    if (argc >= 5 && strcmp(argv[3], "--seconds") == 0) seconds = atof(argv[4]);
    if (psa_crypto_init() != PSA_SUCCESS) fail("psa crypto init", -1);
    const struct {
        const char* label;
        mbedtls_ssl_protocol_version version;
    } versions[] = {{"tls13", MBEDTLS_SSL_VERSION_TLS1_3}, {"tls12", MBEDTLS_SSL_VERSION_TLS1_2}};
    for (const auto& v : versions) {
        Shared sh;
        setup(sh, argv[1], argv[2], v.version);
        measure_handshakes(sh, v.label, seconds);
        bool rsa = mbedtls_pk_get_type(&sh.key) == MBEDTLS_PK_RSA;
        for (const char* aead : {"AES-128-GCM", "AES-256-GCM", "CHACHA20-POLY1305"}) {
            std::string suite = suite_name(v.version == MBEDTLS_SSL_VERSION_TLS1_3, aead, rsa);
            measure_records(sh, v.label, aead, suite, seconds / 2);
        }
        fflush(stdout);
    }
    return 0;
}
