// The certificate chain, private key, random generator and server
// configuration that every TLS session of a run shares.
#include <mbedtls/build_info.h>
#include <mbedtls/x509.h>
#include <psa/crypto.h>

// Every session draws from the one random generator and signs with the one
// key, from many threads at once; only the library's own locking makes that
// safe.
#if !defined(MBEDTLS_THREADING_C) || !defined(MBEDTLS_THREADING_PTHREAD)
#error "mbedTLS must be built with MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD"
#endif

#include "state.h"
#include "tls/tls_session.h"

namespace {

constexpr unsigned char kPersonalization[] = {'v', 'k', 'p', 'r', 'o', 'x', 'y'};

// mbedtls_x509_crt_parse_file returns a positive count of certificates that
// did not parse when some others in the file did. Such a file is refused like
// an unreadable one and reported as a format error, the library's own code
// for a certificate it cannot read.
constexpr int kPartlyReadableCertificate = MBEDTLS_ERR_X509_INVALID_FORMAT;

constexpr const char* kMismatchedPair = "conf own cert failed (key/cert mismatch?)";

int fail(const char* message) {
    set_error("%s", message);
    tls_credentials_free();
    return -1;
}

int fail_file(const char* what, const char* path, int rc) {
    set_error("cannot load %s: %s (-0x%04x)", what, path, static_cast<unsigned>(-rc));
    tls_credentials_free();
    return -1;
}

}  // namespace

int tls_credentials_load(const char* cert_path, const char* key_path) {
    mbedtls_ssl_config_init(&g.ssl_conf);
    mbedtls_x509_crt_init(&g.srv_cert);
    mbedtls_pk_init(&g.srv_key);
    mbedtls_entropy_init(&g.entropy);
    mbedtls_ctr_drbg_init(&g.ctr_drbg);
    g.tls_ready = 1;

    // TLS 1.3 sessions use the PSA layer of the mbedTLS linked into this
    // library. Initialising it here, before any session exists, keeps that out
    // of the first handshake. It is idempotent and thread-safe, and never
    // undone: no code of the service runs at unload, so its state stays until
    // the library is unloaded (a few kilobytes per load).
    if (psa_crypto_init() != PSA_SUCCESS) return fail("psa crypto init failed");

    if (mbedtls_ctr_drbg_seed(&g.ctr_drbg, mbedtls_entropy_func, &g.entropy,
                              kPersonalization, sizeof kPersonalization) != 0) {
        return fail("drbg seed failed");
    }
    int rc = mbedtls_x509_crt_parse_file(&g.srv_cert, cert_path);
    if (rc > 0) rc = kPartlyReadableCertificate;
    if (rc != 0) return fail_file("certificate", cert_path, rc);

    rc = mbedtls_pk_parse_keyfile(&g.srv_key, key_path, nullptr, mbedtls_ctr_drbg_random,
                                  &g.ctr_drbg);
    if (rc != 0) return fail_file("private key", key_path, rc);

    // mbedtls_ssl_conf_own_cert takes any pair without comparing the two, and
    // a key of another certificate would then fail every handshake of a
    // service that reported a good start. The generator is required for
    // every key type: EC uses it for its blinding, RSA ignores it.
    if (mbedtls_pk_check_pair(&g.srv_cert.pk, &g.srv_key, mbedtls_ctr_drbg_random,
                              &g.ctr_drbg) != 0) {
        return fail(kMismatchedPair);
    }

    if (mbedtls_ssl_config_defaults(&g.ssl_conf, MBEDTLS_SSL_IS_SERVER,
                                    MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        return fail("ssl config defaults failed");
    }
    mbedtls_ssl_conf_rng(&g.ssl_conf, mbedtls_ctr_drbg_random, &g.ctr_drbg);
    if (mbedtls_ssl_conf_own_cert(&g.ssl_conf, &g.srv_cert, &g.srv_key) != 0) {
        return fail(kMismatchedPair);
    }
    return 0;
}

void tls_credentials_free() {
    if (!g.tls_ready) return;
    mbedtls_ssl_config_free(&g.ssl_conf);
    mbedtls_x509_crt_free(&g.srv_cert);
    mbedtls_pk_free(&g.srv_key);
    mbedtls_ctr_drbg_free(&g.ctr_drbg);
    mbedtls_entropy_free(&g.entropy);
    g.tls_ready = 0;
}
