#include "support/certs.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

namespace testcerts {
namespace {

// Extensions for each kind of certificate; the subject comes from -subj.
constexpr const char* kOpensslConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical,CA:FALSE
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
)";

// Owns the folder and removes it when the test binary exits.
struct CertStore {
    CertFiles files;
    bool tried = false;
    bool made = false;
    ~CertStore() {
        if (!files.dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(files.dir, ignored);
        }
    }
};

CertStore g_store;
std::mutex g_store_lock;

std::string in_dir(const std::string& name) { return g_store.files.dir + "/" + name; }

// Runs one openssl command in the folder; its output goes to a log there.
bool openssl(const std::string& args) {
    std::string cmd = "cd '" + g_store.files.dir + "' && openssl " + args +
                      " >>openssl.log 2>&1";
    return std::system(cmd.c_str()) == 0;
}

bool new_ec_key(const std::string& key) {
    return openssl("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + key);
}

bool new_rsa_key(const std::string& key) {
    return openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key);
}

// A certificate for key with the given extensions section, self-signed when
// ca_name is empty, else signed by ca_name.crt / ca_name.key.
bool new_cert(const std::string& name, const std::string& key, const std::string& cn,
              const std::string& section, const std::string& ca_name) {
    if (!openssl("req -new -config vk.cnf -key " + key + " -subj '/CN=" + cn + "' -out " +
                 name + ".csr")) {
        return false;
    }
    std::string sign = ca_name.empty()
        ? " -signkey " + key
        : " -CA " + ca_name + ".crt -CAkey " + ca_name + ".key -CAcreateserial";
    return openssl("x509 -req -days 30 -in " + name + ".csr" + sign +
                   " -extfile vk.cnf -extensions " + section + " -out " + name + ".crt");
}

bool make_all(CertFiles& f) {
    f.key_password = "vk-secret";
    if (!new_ec_key("ec.key") || !new_cert("ec", "ec.key", "localhost", "leaf", "")) return false;
    if (!new_rsa_key("rsa.key") || !new_cert("rsa", "rsa.key", "localhost", "leaf", "")) {
        return false;
    }
    if (!new_ec_key("root.key") || !new_cert("root", "root.key", "VK Test Root", "ca", "")) {
        return false;
    }
    if (!new_ec_key("inter.key") ||
        !new_cert("inter", "inter.key", "VK Test Intermediate", "ca", "root")) {
        return false;
    }
    if (!new_ec_key("leaf.key") || !new_cert("leaf", "leaf.key", "localhost", "leaf", "inter")) {
        return false;
    }
    if (!new_ec_key("other.key") || !new_cert("other", "other.key", "localhost", "leaf", "")) {
        return false;
    }
    if (!openssl("pkey -in ec.key -traditional -aes128 -passout pass:" + f.key_password +
                 " -out ec-encrypted.pem") ||
        !openssl("pkcs8 -topk8 -v2 aes128 -in ec.key -passout pass:" + f.key_password +
                 " -out ec-encrypted-pkcs8.pem")) {
        return false;
    }
    std::string chain = read_file(in_dir("leaf.crt")) + read_file(in_dir("inter.crt"));
    if (chain.empty()) return false;
    f.chain_cert = write_file("chain.crt", chain);

    f.ec_cert = in_dir("ec.crt");
    f.ec_key = in_dir("ec.key");
    f.rsa_cert = in_dir("rsa.crt");
    f.rsa_key = in_dir("rsa.key");
    f.root_cert = in_dir("root.crt");
    f.intermediate_cert = in_dir("inter.crt");
    f.leaf_cert = in_dir("leaf.crt");
    f.chain_key = in_dir("leaf.key");
    f.encrypted_key_pem = in_dir("ec-encrypted.pem");
    f.encrypted_key_pkcs8 = in_dir("ec-encrypted-pkcs8.pem");
    f.other_key = in_dir("other.key");
    return true;
}

}  // namespace

const CertFiles& cert_files() {
    static const CertFiles empty;
    std::lock_guard<std::mutex> hold(g_store_lock);
    if (!g_store.tried) {
        g_store.tried = true;
        char tmpl[] = "/tmp/vk-certs-XXXXXX";
        if (mkdtemp(tmpl)) {
            g_store.files.dir = tmpl;
            write_file("vk.cnf", kOpensslConfig);
            g_store.made = make_all(g_store.files);
        }
    }
    if (g_store.made) return g_store.files;
    ADD_FAILURE() << "openssl could not make the test certificates:\n"
                  << read_file(in_dir("openssl.log"));
    return empty;
}

std::string write_file(const std::string& name, const std::string& text) {
    std::string path = g_store.files.dir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testcerts
