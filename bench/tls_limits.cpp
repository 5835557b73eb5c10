// mbedTLS's own limits on this machine, as the proxy uses it: the server's
// CPU time per full handshake for a given certificate and protocol version,
// and the server's record encryption and decryption speed with 16 KiB
// records. A client and a server session talk through memory in one thread;
// only the server's calls are timed, on the thread's CPU clock, so the
// figures are per core and free of socket costs.
//
//   tls_limits CERT KEY [--seconds S]
//       handshakes with the library's default client offer for TLS 1.3 and
//       1.2, records for each AEAD suite
//   tls_limits CERT KEY [--seconds S] --version 1.2|1.3 [--suite NAME]
//              [--group NAME] [--sigalg NAME]
//       one version, the client offering only the named suite (mbedTLS name),
//       group (x25519, secp256r1, ...) and signature algorithm
//       (ecdsa_secp256r1_sha256, rsa_pss_rsae_sha256, rsa_pkcs1_sha256, ...),
//       so the handshake is the one another client negotiated with the proxy;
//       records under the negotiated suite
//
// Prints lines "LIMIT <what> <value> <unit>" and, when pinned, one line
// "NEGOTIATED ..." for bench/run.sh. The server side is always configured
// as the proxy configures it: only the client's offer is restricted.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <ctime>
#include <string>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
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

// What the client offers; empty or zero means the library's default.
struct Offer {
    mbedtls_ssl_protocol_version version;
    int suites[2] = {0, 0};
    uint16_t groups[3] = {0, 0, 0};
    uint16_t sig_algs[2] = {0, 0};
};

void setup(Shared& s, const char* cert, const char* key, Offer& offer) {
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
    // TLS 1.2 also takes the client's groups as the curves it accepts for an
    // ECDSA certificate: the certificate's curve goes after the pinned group.
    // The server chooses the key exchange group by its own order among those
    // offered; the handshake fails if that is not the pinned one (checked by
    // the caller through the ServerKeyExchange).
    if (offer.version == MBEDTLS_SSL_VERSION_TLS1_2 && offer.groups[0] &&
        mbedtls_pk_get_type(&s.key) == MBEDTLS_PK_ECKEY) {
        auto* info = mbedtls_ecp_curve_info_from_grp_id(
            mbedtls_ecp_keypair_get_group_id(mbedtls_pk_ec(s.key)));
        if (info && info->tls_id != offer.groups[0]) offer.groups[1] = info->tls_id;
    }
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
    mbedtls_ssl_conf_min_tls_version(&s.client, offer.version);
    mbedtls_ssl_conf_max_tls_version(&s.client, offer.version);
    // The config keeps these pointers: offer outlives it in main.
    if (offer.suites[0]) mbedtls_ssl_conf_ciphersuites(&s.client, offer.suites);
    if (offer.groups[0]) mbedtls_ssl_conf_groups(&s.client, offer.groups);
    if (offer.sig_algs[0]) mbedtls_ssl_conf_sig_algs(&s.client, offer.sig_algs);
}

struct Pair {
    Pipe c2s, s2c;
    Side client_side{&s2c, &c2s};
    Side server_side{&c2s, &s2c};
    mbedtls_ssl_context client, server;
    double server_cpu = 0;
    std::vector<unsigned char> server_wire;   // all the server sent during the handshake

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
                size_t before = s2c.bytes.size();
                double t = cpu_seconds();
                int rc = mbedtls_ssl_handshake(&server);
                server_cpu += cpu_seconds() - t;
                server_wire.insert(server_wire.end(), s2c.bytes.begin() + before, s2c.bytes.end());
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
    printf("LIMIT handshake_us_%s %.1f us server CPU per full handshake\n", label.c_str(),
           1e6 * cpu / count);
}

struct RecordCost {
    double enc_cpu = 0, dec_cpu = 0;
    size_t enc_bytes = 0, dec_bytes = 0;
};

// Server encryption (its writes) and decryption (its reads) of full records
// on a session that has completed its handshake.
RecordCost time_records(Pair& p, double seconds) {
    RecordCost c;
    static unsigned char data[16384], sink[16384];
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (c.dec_bytes < 4 * sizeof data || std::chrono::steady_clock::now() < until) {
        double t = cpu_seconds();
        int n = mbedtls_ssl_write(&p.server, data, sizeof data);
        c.enc_cpu += cpu_seconds() - t;
        if (n <= 0) fail("server write", n);
        c.enc_bytes += static_cast<size_t>(n);
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
        c.dec_cpu += cpu_seconds() - t;
        c.dec_bytes += static_cast<size_t>(m);
    }
    return c;
}

void print_records(const std::string& label, const char* aead, const RecordCost& c) {
    printf("LIMIT encrypt_%s_%s %.1f MB/s/core\n", label.c_str(), aead,
           c.enc_bytes / c.enc_cpu / 1e6);
    printf("LIMIT decrypt_%s_%s %.1f MB/s/core\n", label.c_str(), aead,
           c.dec_bytes / c.dec_cpu / 1e6);
}

// Records under one cipher suite, which the client offers alone.
void measure_records(Shared& sh, const std::string& label, const char* aead,
                     const std::string& suite, double seconds) {
    const int suites[2] = {mbedtls_ssl_get_ciphersuite_id(suite.c_str()), 0};
    if (suites[0] == 0) fail(suite.c_str(), -1);
    mbedtls_ssl_conf_ciphersuites(&sh.client, suites);
    Pair p(sh);
    p.handshake();
    print_records(label, aead, time_records(p, seconds));
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

// The names the options take: IANA's, which mbedTLS's constants follow.
struct Named {
    const char* name;
    uint16_t id;
};

const Named kGroups[] = {
    {"x25519", MBEDTLS_SSL_IANA_TLS_GROUP_X25519},
    {"secp256r1", MBEDTLS_SSL_IANA_TLS_GROUP_SECP256R1},
    {"secp384r1", MBEDTLS_SSL_IANA_TLS_GROUP_SECP384R1},
    {"secp521r1", MBEDTLS_SSL_IANA_TLS_GROUP_SECP521R1},
    {"x448", MBEDTLS_SSL_IANA_TLS_GROUP_X448},
    {"ffdhe2048", MBEDTLS_SSL_IANA_TLS_GROUP_FFDHE2048},
};

const Named kSigAlgs[] = {
    {"ecdsa_secp256r1_sha256", MBEDTLS_TLS1_3_SIG_ECDSA_SECP256R1_SHA256},
    {"ecdsa_secp384r1_sha384", MBEDTLS_TLS1_3_SIG_ECDSA_SECP384R1_SHA384},
    {"ecdsa_secp521r1_sha512", MBEDTLS_TLS1_3_SIG_ECDSA_SECP521R1_SHA512},
    {"rsa_pss_rsae_sha256", MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA256},
    {"rsa_pss_rsae_sha384", MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA384},
    {"rsa_pss_rsae_sha512", MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA512},
    {"rsa_pkcs1_sha256", MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA256},
    {"rsa_pkcs1_sha384", MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA384},
    {"rsa_pkcs1_sha512", MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA512},
};

template <size_t N>
uint16_t lookup(const Named (&table)[N], const char* name, const char* what) {
    for (const auto& e : table)
        if (strcmp(e.name, name) == 0) return e.id;
    fprintf(stderr, "tls_limits: unknown %s %s\n", what, name);
    exit(2);
}

// The group and (TLS 1.2) signature algorithm the server used, read from its
// plaintext handshake messages: the ServerHello's key share in TLS 1.3, the
// ServerKeyExchange in TLS 1.2. Zero where not found.
struct Wire {
    uint16_t group = 0, sig_alg = 0;
};

Wire read_wire(const std::vector<unsigned char>& w) {
    std::vector<unsigned char> hs;   // handshake bytes of the plaintext records
    for (size_t i = 0; i + 5 <= w.size();) {
        size_t len = (size_t{w[i + 3]} << 8) | w[i + 4];
        if (w[i] != 22 || i + 5 + len > w.size()) break;   // encrypted from here on
        hs.insert(hs.end(), w.begin() + i + 5, w.begin() + i + 5 + len);
        i += 5 + len;
    }
    auto u16 = [&](size_t at) { return static_cast<uint16_t>((hs[at] << 8) | hs[at + 1]); };
    Wire out;
    for (size_t i = 0; i + 4 <= hs.size();) {
        size_t len = (size_t{hs[i + 1]} << 16) | (size_t{hs[i + 2]} << 8) | hs[i + 3];
        size_t b = i + 4, end = b + len;
        if (end > hs.size()) break;
        if (hs[i] == 2 && len > 38) {   // ServerHello: look for key_share (51)
            size_t e = b + 35 + hs[b + 34] + 3 + 2;
            while (e + 4 <= end) {
                uint16_t type = u16(e), elen = u16(e + 2);
                if (type == 51 && elen >= 2) out.group = u16(e + 4);
                e += 4 + elen;
            }
        } else if (hs[i] == 12 && len > 4 && hs[b] == 3) {   // ServerKeyExchange, named curve
            out.group = u16(b + 1);
            size_t sig = b + 4 + hs[b + 3];
            if (sig + 2 <= end) out.sig_alg = u16(sig);
        }
        i = end;
    }
    return out;
}

const char* name_of(const Named* table, size_t n, uint16_t id) {
    for (size_t i = 0; i < n; ++i)
        if (table[i].id == id) return table[i].name;
    return "unknown";
}

// One version with a pinned client offer: what the proxy negotiated with
// another client, measured without the proxy.
void measure_pinned(const char* cert, const char* key, Offer offer, const char* group,
                    const char* sig_alg, double seconds) {
    Shared sh;
    setup(sh, cert, key, offer);
    const char* label = offer.version == MBEDTLS_SSL_VERSION_TLS1_3 ? "tls13" : "tls12";
    Pair p(sh);
    p.handshake();
    // Suite and version from the server's session. mbedTLS 3.6 has no getter
    // for the group or the signature algorithm: those come from the server's
    // plaintext handshake messages, and a TLS 1.3 signature (encrypted) is
    // the pinned one, the only one the client offered.
    std::string suite = mbedtls_ssl_get_ciphersuite(&p.server);
    Wire wire = read_wire(p.server_wire);
    std::string g = wire.group ? std::string(name_of(kGroups, std::size(kGroups), wire.group)) +
                                     "(read from the handshake)"
                               : "unread";
    std::string a = wire.sig_alg
                        ? std::string(name_of(kSigAlgs, std::size(kSigAlgs), wire.sig_alg)) +
                              "(read from the handshake)"
                        : sig_alg ? std::string(sig_alg) + "(pinned, offered alone)"
                                  : "library-default(unread)";
    printf("NEGOTIATED %s version=%s suite=%s group=%s sigalg=%s\n", label,
           mbedtls_ssl_get_version(&p.server), suite.c_str(), g.c_str(), a.c_str());
    // A pin the server did not follow would measure something else.
    if ((group && strcmp(name_of(kGroups, std::size(kGroups), wire.group), group) != 0) ||
        (sig_alg && wire.sig_alg &&
         strcmp(name_of(kSigAlgs, std::size(kSigAlgs), wire.sig_alg), sig_alg) != 0))
        fail("pinned group or signature algorithm not used", -1);
    measure_handshakes(sh, label, seconds);
    RecordCost c = time_records(p, seconds);
    print_records(label, suite.c_str(), c);
    // Per MiB, the unit of the benchmark's bulk scenarios.
    printf("LIMIT encrypt_us_%s %.1f us server CPU per MiB written (answers)\n", label,
           1e6 * c.enc_cpu / c.enc_bytes * 1048576);
    printf("LIMIT decrypt_us_%s %.1f us server CPU per MiB read (uploads)\n", label,
           1e6 * c.dec_cpu / c.dec_bytes * 1048576);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        fprintf(stderr, "usage: tls_limits CERT KEY [--seconds S] [--version 1.2|1.3 "
                        "[--suite NAME] [--group NAME] [--sigalg NAME]]\n");
        return 2;
    }
    double seconds = 1.0;
    const char *version = nullptr, *suite = nullptr, *group = nullptr, *sig_alg = nullptr;
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        const char* val = argv[i + 1];
        if (opt == "--seconds") seconds = atof(val);
        else if (opt == "--version") version = val;
        else if (opt == "--suite") suite = val;
        else if (opt == "--group") group = val;
        else if (opt == "--sigalg") sig_alg = val;
        else {
            fprintf(stderr, "tls_limits: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (psa_crypto_init() != PSA_SUCCESS) fail("psa crypto init", -1);
    if (version) {
        Offer offer;
        if (strcmp(version, "1.3") == 0) offer.version = MBEDTLS_SSL_VERSION_TLS1_3;
        else if (strcmp(version, "1.2") == 0) offer.version = MBEDTLS_SSL_VERSION_TLS1_2;
        else fail("--version (1.2 or 1.3)", -1);
        if (suite && !(offer.suites[0] = mbedtls_ssl_get_ciphersuite_id(suite)))
            fail(suite, -1);
        if (group) offer.groups[0] = lookup(kGroups, group, "group");
        if (sig_alg) offer.sig_algs[0] = lookup(kSigAlgs, sig_alg, "signature algorithm");
        measure_pinned(argv[1], argv[2], offer, group, sig_alg, seconds);
        return 0;
    }
    const struct {
        const char* label;
        mbedtls_ssl_protocol_version version;
    } versions[] = {{"tls13", MBEDTLS_SSL_VERSION_TLS1_3}, {"tls12", MBEDTLS_SSL_VERSION_TLS1_2}};
    for (const auto& v : versions) {
        Shared sh;
        Offer offer;
        offer.version = v.version;
        setup(sh, argv[1], argv[2], offer);
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
