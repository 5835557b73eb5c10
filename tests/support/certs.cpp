#include "support/certs.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#include "support/cert_folder.h"

namespace testcerts {
namespace {

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

bool make_all(CertFiles& f) {
    f.key_password = "vk-secret";  // as in make_certs.sh
    if (!fill_cert_folder(f.dir)) return false;
    f.chain_cert = in_dir("chain.crt");
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
    f.other_rsa_key = in_dir("other-rsa.key");
    return true;
}

}  // namespace

const CertFiles& cert_files() {
    static const CertFiles empty;
    std::lock_guard<std::mutex> hold(g_store_lock);
    if (!g_store.tried) {
        g_store.tried = true;
        g_store.files.dir = new_temp_folder();
        if (!g_store.files.dir.empty()) g_store.made = make_all(g_store.files);
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
