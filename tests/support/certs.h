// Test certificates and keys, made by make_certs.sh (the openssl command
// line) into a temporary folder on first use and shared by every test of the
// run. The folder is removed when the test binary exits.
#pragma once

#include <string>

namespace testcerts {

// Paths of PEM files. Every certificate names localhost and 127.0.0.1.
struct CertFiles {
    std::string dir;                 // the folder that holds them all

    std::string ec_cert, ec_key;     // self-signed ECDSA P-256 pair
    std::string rsa_cert, rsa_key;   // self-signed RSA-2048 pair

    std::string root_cert;           // root CA, self-signed
    std::string intermediate_cert;   // CA signed by the root
    std::string leaf_cert;           // signed by the intermediate, alone
    std::string chain_cert;          // leaf then intermediate, in that order
    std::string chain_key;           // the leaf's key

    std::string encrypted_key_pem;   // ec_key, traditional PEM with Proc-Type
    std::string encrypted_key_pkcs8; // ec_key, PKCS#8 ENCRYPTED PRIVATE KEY
    std::string key_password;        // the password of both encrypted keys

    std::string other_key;           // EC key of a certificate not listed here
    std::string other_rsa_key;       // RSA key of no certificate
};

// Makes the files on the first call; later calls return the same set.
// A failure to make them fails the calling test (gtest fatal failure) and
// returns a set whose paths are empty.
const CertFiles& cert_files();

// Writes text to a new file in the certificate folder (call cert_files()
// first); returns its path.
std::string write_file(const std::string& name, const std::string& text);

// The whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace testcerts
